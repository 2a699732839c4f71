// kep_compare: the library against raw TCP and ZeroMQ over loopback, side by side.
//
// Every scenario runs as fresh processes, this program started again in a peer mode
// (posix_spawn of /proc/self/exe with "--peer ..."), so that no singleton state and no warm
// cache carries over from one scenario to the next. This driver only runs the registered
// scenarios --reps times (interleaved); each starts its peers, reads the one-line reports they
// print and keeps the figures, and the report holds the median of the repetitions. One-way
// throughput is counted from the sender's start to the receiver's receipt of the end marker,
// on CLOCK_MONOTONIC, which both processes share; the end marker goes out after every data
// message on the same connection, so it arrives last.
//
// Files: the peer modes by family (RawPeers, ZmqPeers, LibPeers, ScalePeers, HostPeers), one
// file per scenario (*Scenario.cpp: its runs, table, targets and plot panels), the plot canvas
// and the process runner.
//
// Usage: kep_compare [--reps N] [--seconds S] [--pings N] [--only NAME] [--out FILE.md]
//                    [--svg FILE.svg]
// --only runs the scenarios whose name starts with NAME: throughput, pingpong, scaling,
// host-rtt, host-oneway, host-idle ("host" for the three host-shape ones).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#ifdef KEP_HAVE_ZMQ
#include <zmq.h>
#endif

#include "PeerRoles.h"
#include "Report.h"
#include "Scenario.h"
#include "SvgCanvas.h"

namespace kepbench {

namespace {

int RunOrchestrator(const RunSettings& settings) {
    const Options& options = settings.options;
#ifdef KEP_HAVE_ZMQ
    int major = 0, minor = 0, patch = 0;
    zmq_version(&major, &minor, &patch);
    std::printf("ZeroMQ %d.%d.%d found\n", major, minor, patch);
#else
    std::printf("ZeroMQ not found at build time (install libzmq3-dev): ZeroMQ rows skipped\n");
#endif
    std::printf("%d repetitions, %.2f s per throughput run, %d round trips per ping-pong run\n",
                options.reps, options.seconds, options.pings);
    std::fflush(stdout);

    std::vector<Scenario> scenarios = Scenarios();
    if (!settings.only.empty()) {
        scenarios.erase(
            std::remove_if(scenarios.begin(), scenarios.end(),
                           [&](const Scenario& scenario) {
                               return std::string(scenario.name).rfind(settings.only, 0) != 0;
                           }),
            scenarios.end());
    }
    Samples samples;
    for (int rep = 0; rep < options.reps; ++rep) {
        std::printf("repetition %d/%d\n", rep + 1, options.reps);
        std::fflush(stdout);
        for (const Scenario& scenario : scenarios)
            scenario.run(settings, samples);
    }

    std::ostringstream md;
    md << "Machine: " << sysconf(_SC_NPROCESSORS_ONLN) << " CPUs (nproc), " << ReadCpuModel()
       << "; loopback TCP; median of " << options.reps << " runs, " << options.seconds
       << " s per throughput run.\n\n";
    std::vector<Target> targets;
    SvgCanvas canvas;
    for (const Scenario& scenario : scenarios) {
        scenario.report(settings, samples, md, targets);
        scenario.plot(settings, samples, canvas);
    }
    md << "### Targets\n\n| Target | Measured | Verdict |\n|---|---:|---|\n";
    for (const Target& target : targets)
        md << "| " << target.aim << " | " << target.measured << " | " << Verdict(target.met)
           << " |\n";

    std::printf("\n%s", md.str().c_str());
    std::ofstream(options.out) << "## KEP benchmark results\n\n" << md.str();
    canvas.Write(options.svg);
    std::printf("\nwritten: %s, %s\n", options.out.c_str(), options.svg.c_str());
    return 0;
}

}  // namespace

}  // namespace kepbench

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc > 1 && std::strcmp(argv[1], "--peer") == 0) {
        return kepbench::RunPeer(argc, argv);
    }
    kepbench::RunSettings settings;
#ifdef KEP_HAVE_ZMQ
    settings.haveZmq = true;
#endif
    kepbench::Options& options = settings.options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--reps")
            options.reps = std::max(1, std::atoi(argv[i + 1]));
        else if (flag == "--seconds")
            options.seconds = std::atof(argv[i + 1]);
        else if (flag == "--pings")
            options.pings = std::max(10, std::atoi(argv[i + 1]));
        else if (flag == "--only")
            settings.only = argv[i + 1];
        else if (flag == "--out")
            options.out = argv[i + 1];
        else if (flag == "--svg")
            options.svg = argv[i + 1];
        else {
            std::fprintf(stderr,
                         "usage: kep_compare [--reps N] [--seconds S] [--pings N] [--only NAME] "
                         "[--out F.md] [--svg F.svg]\n");
            return 2;
        }
    }
    return kepbench::RunOrchestrator(settings);
}
