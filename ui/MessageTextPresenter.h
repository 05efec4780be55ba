#pragma once

#include <cstddef>
#include <string_view>

#include "platform/RichEditControl.h"

namespace vantor {

class HTTPMessage;

// How the text view presents one message.

// Puts the message's text into the control: the whole text, or the header and a navy notice
// where the body is hidden (showBody false), was dropped or grew too large, or as much as the
// view can lay out and a notice. The notice of the message's state is kept on the message (a
// document file stores it). The control ends read-only and visible; the message's text is
// unchanged. True when the control shows the message's whole text as it stands.
bool ShowText(HTTPMessage& message, RichEditControl& control, bool showBody);

// More than a message's largest size limit (8000 KB) fits.
inline constexpr std::size_t kMostShown = 8 * 1024 * 1024;

// How much of a text the text view lays out at once: all of it, or up to kMostShown bytes in
// lines of up to 1 MiB (a text widget needs many times that in memory and time).
std::size_t ShownLength(std::string_view text);

// Replaces the control's last character (a placeholder) with notice, in navy.
void AppendNotice(RichEditControl& control, std::string_view notice);

}  // namespace vantor
