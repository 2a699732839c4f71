// Host-shape request/reply, 64 B: a message task on each side, the client blocking in
// RetrieveMessages, the server's callback signalling its main thread, which answers; with
// immediate and with queued sends. The same with the server answering from the callback itself,
// and beside them raw TCP (one send per message) and ZeroMQ REQ/REP.
#include <string>

#include "Report.h"
#include "Scenario.h"
#include "SvgCanvas.h"
#include "sockets/KEPMsgTlsSettings.h"

namespace kepbench {

namespace {

struct RoundTripImpl {
    const char* echo;
    const char* ping;
    const char* label;
    const char* shortLabel;
};

const RoundTripImpl kImpls[] = {
    {"host-imm", "host-imm", "KEP host shape, immediate sends", "imm"},
    {"host-queued", "host-queued", "KEP host shape, queued sends", "queued"},
    {"host-cb-imm", "host-imm", "KEP, server answers in callback, immediate", "cb imm"},
    {"host-cb-queued", "host-queued", "KEP, server answers in callback, queued", "cb queued"},
    {"raw-one", "raw-one", "raw TCP, one send per message", "raw"},
    {"zmq-rep", "zmq-req", "ZeroMQ REQ/REP", "REQ/REP"},
    {"host-imm-tls", "host-imm-tls", "KEP host shape, immediate sends, TLS", "imm TLS"},
};

// The rows the others are compared with; the targets hold for the four library rows.
constexpr int kRawRow = 4;
constexpr int kZmqRow = 5;
// TLS is compared with the plaintext immediate row.
constexpr int kTlsRow = 6;

bool Skipped(const RunSettings& settings, const RoundTripImpl& impl) {
    return (!settings.haveZmq && std::string(impl.echo) == "zmq-rep") ||
           (!KEPMsgTlsSettings::IsAvailable() && std::string(impl.echo) == "host-imm-tls");
}

std::string MedianKey(const RoundTripImpl& impl) {
    return std::string("host-rtt-median/") + impl.echo;
}

void Run(const RunSettings& settings, Samples& samples) {
    for (const RoundTripImpl& impl : kImpls) {
        double median = 0, p99 = 0;
        if (!Skipped(settings, impl) &&
            RunPingPong(impl.echo, impl.ping, 64, settings.options, median, p99)) {
            samples.Add(MedianKey(impl), median);
            samples.Add(std::string("host-rtt-p99/") + impl.echo, p99);
        }
    }
}

void WriteReport(const RunSettings& settings, const Samples& samples, std::ostream& md,
                 std::vector<Target>& targets) {
    const double raw = samples.Median(MedianKey(kImpls[kRawRow]));
    const double zmq = samples.Median(MedianKey(kImpls[kZmqRow]));
    md << "### Host shape: request/reply, 64 B bodies (round trip)\n\n"
       << "| Implementation | median us | p99 us | median vs raw | median vs ZeroMQ REQ/REP |\n"
       << "|---|---:|---:|---:|---:|\n";
    for (const RoundTripImpl& impl : kImpls) {
        if (Skipped(settings, impl))
            continue;
        const double median = samples.Median(MedianKey(impl));
        md << "| " << impl.label << " | " << Fixed(median, 1) << " | "
           << Fixed(samples.Median(std::string("host-rtt-p99/") + impl.echo), 1) << " | "
           << Ratio(median, raw) << " | " << (settings.haveZmq ? Ratio(median, zmq) : "n/a")
           << " |\n";
    }
    md << "\n";
    for (int i = 0; i < kRawRow; ++i) {
        const double vsRaw = raw > 0 ? samples.Median(MedianKey(kImpls[i])) / raw : 0;
        targets.push_back({std::string(kImpls[i].label) + ": request/reply median <= 2x raw",
                           Times(vsRaw), vsRaw > 0 && vsRaw <= 2.0});
    }
    if (!Skipped(settings, kImpls[kTlsRow])) {
        const double plain = samples.Median(MedianKey(kImpls[0]));
        const double tls = plain > 0 ? samples.Median(MedianKey(kImpls[kTlsRow])) / plain : 0;
        targets.push_back({"TLS request/reply median <= 1.5x plaintext (immediate)", Times(tls),
                           tls > 0 && tls <= 1.5});
    }
}

void Plot(const RunSettings& settings, const Samples& samples, SvgCanvas& canvas) {
    std::vector<std::pair<std::string, double>> bars;
    for (const RoundTripImpl& impl : kImpls) {
        const double median = samples.Median(MedianKey(impl));
        if (!Skipped(settings, impl) && median > 0)
            bars.push_back({impl.shortLabel, median});
    }
    canvas.Bars("Host shape: request/reply 64 B, median", bars, "us");
}

const ScenarioRegistration kRegistration({"host-rtt", 40, Run, WriteReport, Plot});

}  // namespace

}  // namespace kepbench
