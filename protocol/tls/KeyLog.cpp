#include "protocol/tls/KeyLog.h"

#include <cstring>
#include <functional>
#include <optional>

#include "platform/AsciiText.h"

namespace vantor {

namespace {

std::optional<std::vector<std::uint8_t>> FromHex(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexDigitValue(text[2 * i]);
        const int low = HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return bytes;
}

std::string_view NextField(std::string_view& line) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const std::size_t end = std::min(line.find_first_of(" \t"), line.size());
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end);
    return field;
}

}  // namespace

std::size_t KeyLog::RandomHash::operator()(const Random& random) const {
    // All of it: a log may hold randoms that differ only at the end.
    return std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(random.data()), random.size()));
}

void KeyLog::Feed(std::string_view text) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view piece = text.substr(0, end);
        if (!m_skipping) {
            if (m_partial.size() + piece.size() > kLongestLine) {
                m_partial.clear();
                m_skipping = true;
            } else {
                m_partial.append(piece);
            }
        }
        if (end == std::string_view::npos) {
            return;
        }
        if (!m_skipping) {
            Line(m_partial);
        }
        m_partial.clear();
        m_skipping = false;
        text.remove_prefix(end + 1);
    }
}

void KeyLog::Line(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    const std::string_view label = NextField(line);
    const std::string_view randomHex = NextField(line);
    const std::string_view secretHex = NextField(line);
    if (label.empty() || label.front() == '#' || !NextField(line).empty()) {
        return;
    }
    const auto random = FromHex(randomHex);
    const auto secret = FromHex(secretHex);
    if (!random || random->size() != 32 || !secret || secret->empty() || secret->size() > 64) {
        return;
    }
    std::vector<std::uint8_t> Secrets::*slot = nullptr;
    if (label == "CLIENT_RANDOM") {
        slot = secret->size() == 48 ? &Secrets::master : nullptr;
    } else if (label == "CLIENT_EARLY_TRAFFIC_SECRET") {
        slot = &Secrets::clientEarly;
    } else if (label == "CLIENT_HANDSHAKE_TRAFFIC_SECRET") {
        slot = &Secrets::clientHandshake;
    } else if (label == "SERVER_HANDSHAKE_TRAFFIC_SECRET") {
        slot = &Secrets::serverHandshake;
    } else if (label == "CLIENT_TRAFFIC_SECRET_0") {
        slot = &Secrets::client0;
    } else if (label == "SERVER_TRAFFIC_SECRET_0") {
        slot = &Secrets::server0;
    }
    if (slot == nullptr) {
        return;
    }
    Random key;
    std::memcpy(key.data(), random->data(), key.size());
    auto [found, added] = m_secrets.try_emplace(key);
    if (added) {
        m_byAge.push_back(key);
        if (m_byAge.size() > kMostConnections) {
            m_secrets.erase(m_byAge.front());
            m_byAge.pop_front();
        }
    }
    found->second.*slot = *secret;
    ++m_generation;
}

const KeyLog::Secrets* KeyLog::Find(std::span<const std::uint8_t, 32> clientRandom) const {
    Random key;
    std::memcpy(key.data(), clientRandom.data(), key.size());
    const auto found = m_secrets.find(key);
    return found == m_secrets.end() ? nullptr : &found->second;
}

}  // namespace vantor
