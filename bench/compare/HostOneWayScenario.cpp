// Host-shape one-way throughput: the receiver runs a message task and blocks in
// RetrieveMessages; the sender's message task writes. 64 B queued (receive drain off and on),
// 64 KiB and 1 MiB immediate, beside raw TCP (one send per message) and ZeroMQ PUSH/PULL; the
// large bodies also with the system's send-buffer sizing on both sides, beside raw TCP with
// that sizing and a plain receiver (header, then the body straight into place).
#include <string>

#include "Report.h"
#include "Scenario.h"
#include "SvgCanvas.h"
#include "sockets/KEPMsgTlsSettings.h"

namespace kepbench {

namespace {

struct OneWayRow {
    int size;
    const char* receiver;
    const char* sender;
    const char* label;
    const char* shortLabel;
};

const OneWayRow kRows[] = {
    {64, "host", "host-queued", "KEP host shape, queued, drain off", "drain off"},
    {64, "host-drain", "host-queued", "KEP host shape, queued, drain 64", "drain 64"},
    {64, "raw-one", "raw-one", "raw TCP, one send per message", "raw"},
    {64, "zmq", "zmq", "ZeroMQ PUSH/PULL", "PUSH/PULL"},
    {65536, "host", "host-imm", "KEP host shape, immediate", "KEP imm"},
    {65536, "host-sys", "host-imm-sys", "KEP host shape, immediate, system sizing", "KEP sys"},
    {65536, "raw-one", "raw-one", "raw TCP, one send per message", "raw"},
    {65536, "raw-sys", "raw-sys", "raw TCP, system sizing, plain receiver", "raw sys"},
    {1 << 20, "host", "host-imm", "KEP host shape, immediate", "KEP imm"},
    {1 << 20, "host-sys", "host-imm-sys", "KEP host shape, immediate, system sizing", "KEP sys"},
    {1 << 20, "raw-one", "raw-one", "raw TCP, one send per message", "raw"},
    {1 << 20, "raw-sys", "raw-sys", "raw TCP, system sizing, plain receiver", "raw sys"},
    {1 << 20, "zmq", "zmq", "ZeroMQ PUSH/PULL", "PUSH/PULL"},
    {1 << 20, "host-tls", "host-imm-tls", "KEP host shape, immediate, TLS", "KEP imm TLS"},
};

bool Skipped(const RunSettings& settings, const OneWayRow& row) {
    return (!settings.haveZmq && std::string(row.sender) == "zmq") ||
           (!KEPMsgTlsSettings::IsAvailable() && std::string(row.receiver) == "host-tls");
}

std::string Key(const OneWayRow& row) {
    return std::string("host-rate/") + row.receiver + "/" + row.sender + "/" +
           std::to_string(row.size);
}

double RateOf(const Samples& samples, int size, const char* receiver) {
    for (const OneWayRow& row : kRows)
        if (row.size == size && std::string(row.receiver) == receiver)
            return samples.Median(Key(row));
    return 0;
}

void Run(const RunSettings& settings, Samples& samples) {
    for (const OneWayRow& row : kRows) {
        if (Skipped(settings, row))
            continue;
        const double rate = RunThroughput(row.receiver, row.sender, row.size, settings.options);
        if (rate > 0)
            samples.Add(Key(row), rate);
    }
}

void WriteReport(const RunSettings& settings, const Samples& samples, std::ostream& md,
                 std::vector<Target>& targets) {
    md << "### Host shape: one-way throughput (message task on both sides, blocking retrieve)\n\n"
       << "| Body | Implementation | msgs/s | MB/s | vs raw one send | vs raw system sizing "
          "| vs ZeroMQ |\n"
       << "|---|---|---:|---:|---:|---:|---:|\n";
    for (const OneWayRow& row : kRows) {
        if (Skipped(settings, row))
            continue;
        const double r = samples.Median(Key(row));
        md << "| " << SizeLabel(row.size) << " | " << row.label << " | " << Fixed(r, 0) << " | "
           << Fixed(r * row.size / 1e6, 1) << " | "
           << Ratio(r, RateOf(samples, row.size, "raw-one")) << " | "
           << Ratio(r, RateOf(samples, row.size, "raw-sys")) << " | "
           << (settings.haveZmq ? Ratio(r, RateOf(samples, row.size, "zmq")) : "n/a") << " |\n";
    }
    md << "\n";
    const double zmq = RateOf(samples, 64, "zmq");
    const double drainOn = zmq > 0 ? RateOf(samples, 64, "host-drain") / zmq : 0;
    const double drainOff = zmq > 0 ? RateOf(samples, 64, "host") / zmq : 0;
    auto vs = [&](int size, const char* receiver, const char* reference) {
        const double base = RateOf(samples, size, reference);
        return base > 0 ? RateOf(samples, size, receiver) / base : 0;
    };
    const double big = vs(1 << 20, "host", "raw-one");
    const double bigSys = vs(1 << 20, "host-sys", "raw-sys");
    const double midSys = vs(65536, "host-sys", "raw-sys");
    targets.push_back({"host shape, 64 B queued, drain on: >= 1.0x ZeroMQ msgs/s", Times(drainOn),
                       drainOn >= 1.0});
    targets.push_back({"host shape, 64 B queued, drain off: >= 0.5x ZeroMQ msgs/s", Times(drainOff),
                       drainOff >= 0.5});
    targets.push_back({"host shape, 1 MiB immediate: >= 1.0x raw one send (64 KiB send buffers)",
                       Times(big), big >= 1.0});
    targets.push_back(
        {"host shape, 1 MiB immediate, system sizing: >= 0.9x raw, system sizing, "
         "plain receiver",
         Times(bigSys), bigSys >= 0.9});
    targets.push_back(
        {"host shape, 64 KiB immediate, system sizing: >= 0.8x raw, system sizing, "
         "plain receiver",
         Times(midSys), midSys >= 0.8});
    const double plainBig = RateOf(samples, 1 << 20, "host");
    if (KEPMsgTlsSettings::IsAvailable()) {
        const double tls = plainBig > 0 ? RateOf(samples, 1 << 20, "host-tls") / plainBig : 0;
        targets.push_back(
            {"host shape, 1 MiB immediate over TLS: >= 0.5x plaintext", Times(tls), tls >= 0.5});
    }
}

void Plot(const RunSettings& settings, const Samples& samples, SvgCanvas& canvas) {
    for (int size : {64, 65536, 1 << 20}) {
        std::vector<std::pair<std::string, double>> bars;
        for (const OneWayRow& row : kRows) {
            const double rate = samples.Median(Key(row));
            if (row.size == size && !Skipped(settings, row) && rate > 0)
                bars.push_back({row.shortLabel, size == 64 ? rate / 1000 : rate * size / 1e6});
        }
        canvas.Bars(
            "Host shape: " + SizeLabel(size) + " one-way, " + (size == 64 ? "k msgs/s" : "MB/s"),
            bars, size == 64 ? "k/s" : "MB/s", 0);
    }
}

const ScenarioRegistration kRegistration({"host-oneway", 50, Run, WriteReport, Plot});

}  // namespace

}  // namespace kepbench
