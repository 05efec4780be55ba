#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vantor {

// The TLS key logs a pcapng file carries in Decryption Secrets Blocks (as editcap
// --inject-secrets writes them), joined; empty for a pcap file or one without any. Reads the
// blocks' headers only, skipping everything else; at most kMostSecretBytes in all. The file's
// position is where it was.
std::string ReadPcapngKeyLog(std::FILE* file);

inline constexpr std::size_t kMostSecretBytes = 16u << 20;

}  // namespace vantor
