#include "tools/dump/DumpCommand.h"

#include <signal.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <fstream>
#include <memory>

#include "capture/CaptureSession.h"
#include "capture/KeyLogFiles.h"
#include "capture/RecordReplay.h"
#include "document/CSnifferDoc.h"
#include "exporters/HarWriter.h"
#include "framework/Profile.h"
#include "http/HTTPRequest.h"
#include "options/AppStrings.h"
#include "options/Options.h"
#include "options/SettingsPersistence.h"
#include "platform/BlockingCallQueue.h"
#include "platform/InstanceLock.h"
#include "platform/SettingsStore.h"
#include "platform/UserFiles.h"
#include "platform/XdgPaths.h"
#include "sources/PcapImport.h"
#include "tools/dump/ListingView.h"
#include "tools/dump/LiveListingView.h"

namespace vantor {

namespace {

constexpr std::string_view kUsage =
    "usage: vantor-dump [--capture | --system [--pid PID] [--uid UID] [--comm NAME]\n"
    "                   [--servers]] [--duration SECONDS] [--count N] [--raw FILE]\n"
    "                   [--open FILE.vtr] [--replay FILE] [--pcap FILE]\n"
    "                   [--keylog FILE]...\n"
    "                   [--save FILE.vtr] [--har FILE]\n"
    "                   [--set NAME=VALUE]... [--format text|tsv|jsonl|curl]\n"
    "                   [--bodies] [--filter EXPR]\n"
    "                   [--settings]\n"
    "\n"
    "Vantor's capture path and document without a window. Lists the document's HTTP\n"
    "messages, one line each.\n"
    "\n"
    "Without --open, --replay or --pcap it captures live: it installs the capture provider,\n"
    "starts capture and lists every message as soon as its header is complete, until\n"
    "Ctrl-C (SIGINT), SIGTERM, --duration or --count. Programs are captured when they\n"
    "are started with vantor-run, for example: vantor-run curl http://127.0.0.1:8080/\n"
    "Without --save, --har (or --open) it keeps only the exchanges still open: a message is\n"
    "forgotten once it is listed and the next request of its connection has begun, so\n"
    "memory stays bounded however long it captures.\n"
    "\n"
    "  --capture         capture live (also after --open)\n"
    "  --system          capture every program on this machine, not only those\n"
    "                    started with vantor-run, TLS plain text included (root, or\n"
    "                    CAP_BPF and CAP_PERFMON; a kernel with BTF)\n"
    "  --pid PID         with --system: only this process\n"
    "  --uid UID         with --system: only this user's processes\n"
    "  --comm NAME       with --system: only processes of this command name\n"
    "  --servers         with --system: connections the programs accepted too\n"
    "  --duration SECS   stop capturing after this many seconds\n"
    "  --count N         stop capturing once N messages were listed\n"
    "  --raw FILE        also write every record received, as a record stream that\n"
    "                    --replay reads\n"
    "  --open FILE.vtr   start from a document file\n"
    "  --replay FILE     feed a capture-record stream (records back to back, each a\n"
    "                    52-byte header followed by its data) through the capture path\n"
    "  --pcap FILE       import a packet capture (pcap or pcapng, as tcpdump or\n"
    "                    Wireshark write it): the HTTP of every TCP connection in it,\n"
    "                    on any port, goes through the capture path with the packets'\n"
    "                    times; without --save or --har each message is listed when it\n"
    "                    has ended, in memory bounded by the connections still open;\n"
    "                    FILE - reads standard input (tcpdump -U -w - | vantor-dump\n"
    "                    --pcap -)\n"
    "  --keylog FILE     decrypt TLS with the secrets in this key log (the format\n"
    "                    SSLKEYLOGFILE makes programs write; a file only you can\n"
    "                    read), followed as it grows; HTTPS in a --pcap capture\n"
    "                    becomes exchanges\n"
    "  --save FILE.vtr   save the document at the end\n"
    "  --har FILE        export the document at the end as an HTTP Archive (HAR 1.2)\n"
    "  --set NAME=VALUE  override a setting for this run, by its registry value name\n"
    "                    (max_req_size, scan_res_body, allowed_content, ...)\n"
    "  --format FORMAT   text (the default) or tsv, tab-separated columns for scripts:\n"
    "                    index, kind, connection id, peer, state, caption, method or\n"
    "                    status code, target or content class, skipped bytes, text\n"
    "                    length, index of the paired request (and the process,\n"
    "                    where it is known); or jsonl, one JSON object per\n"
    "                    message: index, kind, connection, peer, time, state,\n"
    "                    method and target or status and content class, caption,\n"
    "                    sizes, pair, process (where known), headers as [name,\n"
    "                    value] pairs; or curl, one curl command per request that\n"
    "                    sends it again (method, URL, header fields, body), each\n"
    "                    listed once its request has ended\n"
    "  --filter EXPR     list and export only the exchanges EXPR passes, in the\n"
    "                    exchange list's filter language: words in the URL,\n"
    "                    host:, path:, url:, method:, status:404|4xx|400-499,\n"
    "                    type:json, header:NAME[=VALUE], body:, proto:h1|h2|ws,\n"
    "                    process:, size>10k, dur>200ms; -term negates, terms are\n"
    "                    ANDed, a | b ORs; a live capture lists an exchange once\n"
    "                    its response's head has come\n"
    "  --bodies          with jsonl, each message's body too (base64 with\n"
    "                    \"bodyEncoding\": \"base64\" where it is not UTF-8); a live\n"
    "                    capture then lists each message once it has ended\n"
    "  --settings        print the settings in effect (after --set) and do nothing else\n"
    "  -h, --help        show this help\n"
    "\n"
    "Settings are read from the current user's settings store and never written.\n";

// The whole document, or the requests of the exchanges the filter passes.
bool ExportHar(const std::string& path, const CSnifferDoc& document, std::ostream& errors,
               const std::optional<ExchangeQuery>& filter) {
    std::vector<const HTTPRequest*> requests;
    for (const HTTPRequest* request : document.requests()) {
        if (!filter || ListingVerdict(*filter, *request, true).value_or(false)) {
            requests.push_back(request);
        }
    }
    if (const auto failure = ExportHarFile(path, requests)) {
        errors << "vantor-dump: " << *failure << '\n';
        return false;
    }
    return true;
}

// Whether the listing reads bodies: their bytes, a curl command's, or a filter's body terms.
bool NeedsBodies(const DumpArguments& arguments) {
    return arguments.bodies || arguments.format == ListingFormat::Curl ||
           (arguments.filter && arguments.filter->needs().body);
}

// The options as a fresh start of the program has them: defaults, then the user's settings.
void LoadUserSettings() {
    GlobalOptions() = Options{};
    SettingsStore store(SettingsStore::CurrentUserFile());
    const Profile profile(store, std::string(kApplicationKey));
    LoadSettings(profile, GlobalOptions());
}

// Applies --set overrides; false, with error set, for an unknown name or a value that does not
// fit the setting.
bool ApplyOverrides(const DumpArguments& arguments, std::string& error) {
    for (const auto& [name, value] : arguments.overrides) {
        const SettingField* setting = FindSettingField(name);
        if (setting == nullptr) {
            error = "unknown setting '" + name + "'";
            return false;
        }
        if (!SetSettingFromText(*setting, GlobalOptions(), value)) {
            error = "'" + value + "' is not a value for " + name;
            return false;
        }
    }
    Preferences().ParseContentTypes();
    Filter().SplitHostWords();
    return true;
}

void WriteSettings(std::ostream& output) {
    for (const SettingField& setting : SettingFields()) {
        output << setting.section << '/' << setting.name << '='
               << SettingValueText(setting, GlobalOptions()) << '\n';
    }
}

volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void RequestStop(int /*signal*/) {
    g_stopRequested = 1;
}

// SIGINT and SIGTERM end a live capture in good order while this object lives.
class StopSignals {
public:
    StopSignals() {
        g_stopRequested = 0;
        struct sigaction action {};
        action.sa_handler = RequestStop;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &m_previousInterrupt);
        ::sigaction(SIGTERM, &action, &m_previousTerminate);
    }
    ~StopSignals() {
        ::sigaction(SIGINT, &m_previousInterrupt, nullptr);
        ::sigaction(SIGTERM, &m_previousTerminate, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    bool Requested() const { return g_stopRequested != 0; }

private:
    struct sigaction m_previousInterrupt {};
    struct sigaction m_previousTerminate {};
};

// Says how much of connections that could not be read was left out, if any.
void TellLeftOut(const CaptureDispatch& dispatch, std::ostream& errors) {
    if (const std::uint64_t bytes = dispatch.LeftOutBytes(); bytes != 0) {
        errors << "vantor-dump: " << bytes
               << " bytes of connections joined part way (in frames that need their start) "
                  "were left out\n";
    }
}

// Whether every line of the listing went out; a write that failed (a full disk) is said.
bool ListingWritten(std::ostream& output, std::ostream& errors) {
    if (output.flush()) {
        return true;
    }
    errors << "vantor-dump: cannot write the listing to standard output\n";
    return false;
}

// What every live capture shares: the listing as messages come, the record stream written
// beside it (--raw), and what is saved and exported at the end.
class LiveCapture {
public:
    LiveCapture(const DumpArguments& arguments, CSnifferDoc& document, std::ostream& output,
                std::ostream& errors)
        : m_arguments(arguments),
          m_document(document),
          m_output(output),
          m_errors(errors),
          m_view(output, arguments.format, arguments.bodies),
          m_raw(nullptr) {
        m_view.SetQuery(arguments.query());
    }

    // Opens what the capture starts from and writes to; false when it cannot.
    bool Prepare() {
        m_view.FlushEachLine(false);  // flushed a loop at a time
        m_document.AddView(&m_view);
        m_document.OnNewDocument();
        if (!m_arguments.openFile.empty()) {
            if (const auto failure = m_document.OnOpenDocument(m_arguments.openFile)) {
                m_errors << "vantor-dump: " << *failure << '\n';
                return false;
            }
        }
        // Nothing to save: what is listed and over is forgotten, so that a long capture stays
        // in bounded memory.
        if (m_arguments.saveFile.empty() && m_arguments.harFile.empty() &&
            m_arguments.openFile.empty()) {
            m_document.KeepOpenExchangesOnly();
            if (!NeedsBodies(m_arguments)) {
                m_document.CountBodiesOnly();  // nobody reads them: their lengths are listed
            }
        }
        // The record stream holds what the captured programs sent, passwords and cookies among
        // it: a new file is the user's alone, and a link someone else planted is not followed.
        if (!m_arguments.rawFile.empty()) {
            const int fd = OpenUserFileForWriting(m_arguments.rawFile);
            if (fd < 0) {
                m_errors << "vantor-dump: cannot write " << m_arguments.rawFile << ": "
                         << std::strerror(errno) << '\n';
                return false;
            }
            m_rawFile = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(
                fd, std::ios::out | std::ios::binary, 64 * 1024);
            m_raw.rdbuf(m_rawFile.get());
        }
        m_started = std::chrono::steady_clock::now();
        return true;
    }

    // Capture runs from now: --duration counts from here.
    void Started() { m_started = std::chrono::steady_clock::now(); }

    // Whether a record is still wanted (not past --count); it is written to the record stream.
    bool Take(const CaptureRecord& record, std::span<const std::uint8_t> data) {
        if (m_arguments.messageCount && m_view.listed() >= *m_arguments.messageCount) {
            return false;  // as many as asked for: the rest is not taken
        }
        if (m_rawFile != nullptr) {
            CaptureRecord header = record;
            header.dataLength = static_cast<std::uint32_t>(data.size());
            WriteRecord(m_raw, header, data);
        }
        return true;
    }

    // Whether the capture is over: a signal, --count or --duration.
    bool Finished(const StopSignals& stop) const {
        if (stop.Requested()) {
            return true;
        }
        if (m_arguments.messageCount && m_view.listed() >= *m_arguments.messageCount) {
            return true;
        }
        return m_arguments.durationSeconds &&
               std::chrono::steady_clock::now() - m_started >=
                   std::chrono::duration<double>(*m_arguments.durationSeconds);
    }

    // Lists what is left, closes the record stream, saves and exports; the exit status.
    int Finish() {
        m_view.Finish();
        int status = ListingWritten(m_output, m_errors) ? 0 : 1;
        if (m_rawFile != nullptr) {
            m_raw.flush();
            if (!m_raw || m_rawFile->close() == nullptr) {
                m_errors << "vantor-dump: cannot write " << m_arguments.rawFile << '\n';
                status = 1;
            }
        }
        if (!m_arguments.saveFile.empty()) {
            if (const auto failure = m_document.OnSaveDocument(m_arguments.saveFile)) {
                m_errors << "vantor-dump: " << *failure << '\n';
                status = 1;
            }
        }
        if (!m_arguments.harFile.empty() &&
            !ExportHar(m_arguments.harFile, m_document, m_errors, m_arguments.filter)) {
            status = 1;
        }
        return status;
    }

private:
    const DumpArguments& m_arguments;
    CSnifferDoc& m_document;
    std::ostream& m_output;
    std::ostream& m_errors;
    LiveListingView m_view;
    std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> m_rawFile;
    std::ostream m_raw;
    std::chrono::steady_clock::time_point m_started;
};

const char* WasOrWere(std::uint64_t count) {
    return count == 1 ? " record was" : " records were";
}

// The programs started through vantor-run, by their capture provider and the channel.
int RunLiveCapture(const DumpArguments& arguments, CSnifferDoc& document, std::ostream& output,
                   std::ostream& errors) {
    if (const auto problem = PreparePrivateRuntimeFolder()) {
        errors << "vantor-dump: cannot capture: " << *problem << '\n';
        return 1;
    }
    const auto lock = InstanceLock::TryAcquire(std::string(kInstanceLockName), "vantor-dump");
    if (lock == nullptr) {
        errors << "vantor-dump: Vantor is already running (for this user and runtime folder)";
        if (const auto holder = InstanceLock::CurrentHolder(std::string(kInstanceLockName))) {
            errors << ": " << holder->program << ", process " << holder->pid;
        }
        errors << '\n';
        return 1;
    }
    LiveCapture live(arguments, document, output, errors);
    if (!live.Prepare()) {
        return 1;
    }
    // No window: the reader may dispatch itself while the main thread waits.
    BlockingCallQueue window;
    window.LendTurnWhileWaiting(true);
    CaptureSession session(
        CaptureSession::Places{}, window, [&document] { return &document; },
        [&errors](std::string_view message) { errors << "vantor-dump: " << message << '\n'; },
        [&](const PendingRecord& pending) {
            if (live.Take(pending.header, pending.data)) {
                session.dispatch().Dispatch(pending);
            }
        });
    for (const std::string& path : arguments.keyLogs) {
        if (const auto refused = session.AddKeyLog(path)) {
            errors << "vantor-dump: " << *refused << '\n';
            return 1;
        }
    }
    if (!session.InstallProvider()) {
        errors << "vantor-dump: the capture provider could not be installed in "
               << session.catalogFile().string() << "; nothing will be captured\n";
    }

    const StopSignals stop;
    if (!session.Start()) {
        session.RemoveProvider();
        return 1;
    }
    live.Started();
    errors << "vantor-dump: capturing; start programs with vantor-run (vantor-run CMD ...), "
              "stop with Ctrl-C\n";
    while (!live.Finished(stop)) {
        window.RunPending(std::chrono::milliseconds(20));
        session.Tick();
        output.flush();
    }
    session.Stop();
    session.RemoveProvider();
    const int status = live.Finish();
    const CaptureCounts counts = session.Counts();
    const std::uint64_t dropped = counts.droppedRecords;
    if (const std::uint64_t lost = counts.lostRecords - dropped; lost != 0) {
        errors << "vantor-dump: " << lost << WasOrWere(lost)
               << " lost: the program writing it ended half way\n";
    }
    if (dropped != 0) {
        errors << "vantor-dump: " << dropped << WasOrWere(dropped)
               << " dropped: the capture ring stayed full while programs waited to write\n";
    }
    TellLeftOut(session.dispatch(), errors);
    if (const std::uint64_t programs = counts.uncapturedPrograms; programs != 0) {
        errors << "vantor-dump: " << programs << (programs == 1 ? " program was" : " programs were")
               << " not captured: no memory for their capture ring\n";
    }
    return status;
}

// Every program on the machine, by the system-wide source (root, or CAP_BPF and CAP_PERFMON).
int RunSystemCapture(const DumpArguments& arguments, KeyLogFiles& keyLogs, CSnifferDoc& document,
                     std::ostream& output, std::ostream& errors) {
    LiveCapture live(arguments, document, output, errors);
    if (!live.Prepare()) {
        return 1;
    }
    CaptureDispatch dispatch([&document] { return &document; });
    std::string error;
    const auto capture = SystemCapture::Start(
        arguments.system,
        [&](const CaptureRecord& record, std::span<const std::uint8_t> data) {
            if (live.Take(record, data)) {
                dispatch.Dispatch(record, data);
            }
        },
        error);
    if (capture == nullptr) {
        errors << "vantor-dump: " << error << '\n';
        return 1;
    }
    const StopSignals stop;
    live.Started();
    errors << "vantor-dump: capturing every program on this machine";
    if (capture->TlsTargets() != 0) {
        errors << " (TLS in " << capture->TlsTargets() << " libraries and programs)";
    }
    errors << ", stop with Ctrl-C\n";
    while (!live.Finished(stop)) {
        capture->Poll(std::chrono::milliseconds(20));
        dispatch.Tick(keyLogs);
        output.flush();
    }
    capture->Drain();
    const int status = live.Finish();
    if (const std::uint64_t dropped = capture->KernelDrops(); dropped != 0) {
        errors << "vantor-dump: " << dropped << (dropped == 1 ? " piece was" : " pieces were")
               << " dropped: the kernel's capture buffer was full\n";
    }
    TellLeftOut(dispatch, errors);
    return status;
}

}  // namespace

std::optional<DumpArguments> ParseDumpArguments(std::span<const std::string> arguments,
                                                std::string& error) {
    DumpArguments parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const std::string* value = nullptr;
        auto takeValue = [&] {
            if (i + 1 >= arguments.size()) {
                error = argument + " needs a value";
                return false;
            }
            value = &arguments[++i];
            return true;
        };
        if (argument == "-h" || argument == "--help") {
            parsed.help = true;
        } else if (argument == "--bodies") {
            parsed.bodies = true;
        } else if (argument == "--settings") {
            parsed.showSettings = true;
        } else if (argument == "--capture") {
            parsed.capture = true;
        } else if (argument == "--system") {
            parsed.systemWide = true;
        } else if (argument == "--servers") {
            parsed.system.servers = true;
        } else if (argument == "--pid" || argument == "--uid") {
            if (!takeValue()) {
                return std::nullopt;
            }
            std::uint32_t number = 0;
            const auto [end, failure] =
                std::from_chars(value->data(), value->data() + value->size(), number);
            if (failure != std::errc() || end != value->data() + value->size() ||
                (argument == "--pid" && number == 0)) {
                error = argument + " needs a number, not '" + *value + "'";
                return std::nullopt;
            }
            if (argument == "--pid") {
                parsed.system.pid = number;
            } else {
                parsed.system.uid = number;
            }
        } else if (argument == "--comm") {
            if (!takeValue()) {
                return std::nullopt;
            }
            if (value->empty() || value->size() > 15) {
                error = "--comm needs a command name of 1 to 15 bytes, not '" + *value + "'";
                return std::nullopt;
            }
            parsed.system.command = *value;
        } else if (argument == "--open" || argument == "--replay" || argument == "--save" ||
                   argument == "--raw" || argument == "--har" || argument == "--pcap") {
            if (!takeValue()) {
                return std::nullopt;
            }
            (argument == "--open"     ? parsed.openFile
             : argument == "--replay" ? parsed.replayFile
             : argument == "--pcap"   ? parsed.pcapFile
             : argument == "--raw"    ? parsed.rawFile
             : argument == "--har"    ? parsed.harFile
                                      : parsed.saveFile) = *value;
        } else if (argument == "--keylog") {
            if (!takeValue()) {
                return std::nullopt;
            }
            parsed.keyLogs.push_back(*value);
        } else if (argument == "--duration") {
            if (!takeValue()) {
                return std::nullopt;
            }
            double seconds = 0;
            const auto [end, failure] =
                std::from_chars(value->data(), value->data() + value->size(), seconds);
            if (failure != std::errc() || end != value->data() + value->size() || seconds <= 0) {
                error = "--duration needs a number of seconds, not '" + *value + "'";
                return std::nullopt;
            }
            parsed.durationSeconds = seconds;
        } else if (argument == "--count") {
            if (!takeValue()) {
                return std::nullopt;
            }
            std::size_t count = 0;
            const auto [end, failure] =
                std::from_chars(value->data(), value->data() + value->size(), count);
            if (failure != std::errc() || end != value->data() + value->size() || count == 0) {
                error = "--count needs a number of messages, not '" + *value + "'";
                return std::nullopt;
            }
            parsed.messageCount = count;
        } else if (argument == "--set") {
            if (!takeValue()) {
                return std::nullopt;
            }
            const std::size_t equals = value->find('=');
            if (equals == std::string::npos || equals == 0) {
                error = "--set needs NAME=VALUE, not '" + *value + "'";
                return std::nullopt;
            }
            parsed.overrides.emplace_back(value->substr(0, equals), value->substr(equals + 1));
        } else if (argument == "--filter") {
            if (!takeValue()) {
                return std::nullopt;
            }
            auto query = ExchangeQuery::Parse(*value);
            if (const auto* mistake = std::get_if<ExchangeQuery::Error>(&query)) {
                error = "--filter: " + mistake->message + "\n  " + *value + "\n  " +
                        std::string(mistake->at, ' ') +
                        std::string(std::max<std::size_t>(mistake->length, 1), '^');
                return std::nullopt;
            }
            parsed.filter = std::get<ExchangeQuery>(std::move(query));
        } else if (argument == "--format") {
            if (!takeValue()) {
                return std::nullopt;
            }
            if (*value == "text") {
                parsed.format = ListingFormat::Text;
            } else if (*value == "tsv") {
                parsed.format = ListingFormat::Tsv;
            } else if (*value == "jsonl") {
                parsed.format = ListingFormat::Jsonl;
            } else if (*value == "curl") {
                parsed.format = ListingFormat::Curl;
            } else {
                error = "unknown format '" + *value + "' (text, tsv, jsonl or curl)";
                return std::nullopt;
            }
        } else {
            error = "unknown argument '" + argument + "'";
            return std::nullopt;
        }
    }
    if (parsed.replayFile.empty() && parsed.openFile.empty() && parsed.pcapFile.empty()) {
        parsed.capture = true;
    }
    if (parsed.systemWide) {
        parsed.capture = true;
    } else if (parsed.system.pid != 0 || parsed.system.uid || !parsed.system.command.empty() ||
               parsed.system.servers) {
        error = "--pid, --uid, --comm and --servers belong to --system";
        return std::nullopt;
    }
    if (parsed.bodies && parsed.format != ListingFormat::Jsonl) {
        error = "--bodies goes with --format jsonl";
        return std::nullopt;
    }
    if (parsed.capture && (!parsed.replayFile.empty() || !parsed.pcapFile.empty())) {
        error = "--replay, --pcap and a live capture do not go together";
        return std::nullopt;
    }
    if (!parsed.capture &&
        (parsed.durationSeconds || parsed.messageCount || !parsed.rawFile.empty())) {
        error = "--duration, --count and --raw belong to a live capture";
        return std::nullopt;
    }
    return parsed;
}

int RunVantorDump(std::span<const std::string> arguments, std::ostream& output,
                  std::ostream& errors) {
    std::string error;
    auto parsed = ParseDumpArguments(arguments, error);
    if (parsed && !parsed->help) {
        LoadUserSettings();
        if (!ApplyOverrides(*parsed, error)) {
            errors << "vantor-dump: " << error << '\n';
            return 2;
        }
    }
    if (!parsed) {
        errors << "vantor-dump: " << error << "\n\n" << kUsage;
        return 2;
    }
    if (parsed->help) {
        output << kUsage;
        return 0;
    }
    if (parsed->showSettings) {
        WriteSettings(output);
        return 0;
    }

    // The key logs named, and the one of the settings.
    std::vector<std::string>& keyLogPaths = parsed->keyLogs;
    if (!Preferences().tls_key_log.empty()) {
        keyLogPaths.push_back(Preferences().tls_key_log);
    }
    KeyLogFiles keyLogs;
    for (const std::string& path : keyLogPaths) {
        if (const auto refused = keyLogs.Add(path)) {
            errors << "vantor-dump: " << *refused << '\n';
            return 1;
        }
    }
    CSnifferDoc document;
    document.SetCaptureRules(CaptureRules::From(Preferences()));
    if (parsed->systemWide) {
        return RunSystemCapture(*parsed, keyLogs, document, output, errors);
    }
    if (parsed->capture) {
        return RunLiveCapture(*parsed, document, output, errors);
    }
    // An import that nothing keeps is listed as it goes, in bounded memory.
    const bool streaming = !parsed->pcapFile.empty() && parsed->saveFile.empty() &&
                           parsed->harFile.empty() && parsed->openFile.empty() &&
                           parsed->replayFile.empty();
    ListingView wholeView;
    LiveListingView liveView(output, parsed->format, parsed->bodies, true);
    liveView.SetQuery(parsed->query());
    liveView.FlushEachLine(false);  // the stream's buffer goes out as it fills, and at the end
    document.AddView(streaming ? static_cast<CView*>(&liveView) : &wholeView);
    document.OnNewDocument();
    if (streaming) {
        document.KeepOpenExchangesOnly();
        if (!NeedsBodies(*parsed)) {
            document.CountBodiesOnly();
        }
    }
    int status = 0;

    if (!parsed->openFile.empty()) {
        if (const auto failure = document.OnOpenDocument(parsed->openFile)) {
            errors << "vantor-dump: " << *failure << '\n';
            return 1;
        }
    }
    if (!parsed->replayFile.empty()) {
        std::ifstream input(parsed->replayFile, std::ios::binary);
        if (!input) {
            errors << "vantor-dump: cannot open " << parsed->replayFile << ": "
                   << std::strerror(errno) << '\n';
            return 1;
        }
        CaptureDispatch dispatch([&document] { return &document; });
        dispatch.Tick(keyLogs);
        const ReplayResult result = ReplayRecordStream(input, dispatch);
        dispatch.FinishTls("its keys are not in the key log");
        if (!result.ok()) {
            errors << "vantor-dump: " << parsed->replayFile << ": " << result.error << '\n';
            status = 1;
        }
        TellLeftOut(dispatch, errors);
    }

    if (!parsed->pcapFile.empty()) {
        CaptureDispatch dispatch([&document] { return &document; });
        dispatch.Tick(keyLogs);
        const CaptureImportResult result = ImportCaptureFile(parsed->pcapFile, dispatch, document);
        if (!result.ok()) {
            errors << "vantor-dump: " << result.error << '\n';
            status = 1;
        }
        errors << "vantor-dump: "
               << (parsed->pcapFile == "-" ? std::string("standard input") : parsed->pcapFile)
               << ": " << DescribeImport(result) << '\n';
    }

    if (streaming) {
        liveView.Finish();
    } else {
        WriteListing(output, document, parsed->format, parsed->bodies, parsed->query());
    }
    if (!ListingWritten(output, errors)) {
        status = 1;
    }
    if (!parsed->saveFile.empty()) {
        if (const auto failure = document.OnSaveDocument(parsed->saveFile)) {
            errors << "vantor-dump: " << *failure << '\n';
            status = 1;
        }
    }
    if (!parsed->harFile.empty() && !ExportHar(parsed->harFile, document, errors, parsed->filter)) {
        status = 1;
    }
    return status;
}

}  // namespace vantor
