#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

// The written form of the default allowed content list: messages without a content type,
// any text type, scripts and form posts.
inline constexpr std::string_view kDefaultAllowedContent =
    R"("" "text/" "application/x-javascript" "x-www-form-urlencoded")";

// What is captured and shown: body capture and size limits, body display, tree order and the
// content types whose bodies are kept. Field names are the registry value names.
struct AppPreferences {
    bool scan_req_body = true;
    bool scan_res_body = true;
    std::int32_t max_req_size = 256;  // kilobytes
    std::int32_t max_res_size = 256;  // kilobytes
    bool show_req_body = true;
    bool show_res_body = true;
    std::int32_t view_order = 0;  // 0 by time, 1 by peer
    // The text view shows bodies decoded (codings removed, JSON laid out, binary as hex).
    bool decoded_body = true;
    // The window's main view: 0 the exchange list, 1 the message tree and its text.
    std::int32_t main_view = 0;
    // The exchange list's columns (order, widths, which are hidden, the sort) and the sizes of
    // its panes, as the window writes them; empty for the first layout.
    std::string exchange_columns;
    std::string exchange_panes;
    std::int32_t whole_word_content = 0;
    std::string allowed_content{kDefaultAllowedContent};
    // A key log (SSLKEYLOGFILE's format) whose secrets decrypt TLS, besides those of the
    // programs vantor-run starts; empty for none.
    std::string tls_key_log;

    // Derived from allowed_content by ParseContentTypes: the lower-cased patterns, and whether
    // an empty pair of quotes allowed messages without a content type.
    std::vector<std::string> allowedContentList;
    bool allowWithoutContentType = false;

    // Rebuilds allowedContentList and allowWithoutContentType from allowed_content. Items are
    // written in double quotes; a backslash-quote inside an item stands for a quote; text
    // outside quotes is ignored and an unbalanced quote ends the list.
    void ParseContentTypes();
};

}  // namespace vantor
