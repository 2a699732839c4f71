// Pieces every kep_compare peer shares: the framing constants, the clock, the one-line reports
// a peer prints for the orchestrator, and the per-process payload and scratch buffers.
//
// Framing is the library's everywhere: a 4-byte little-endian length, the type name ("Blob" for
// data, "BenchEnd" for the end marker that carries the number of messages sent), then the body.
// Everything here is for one peer process and its threads; Report and Fail may be called from
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kepbench {

constexpr const char* kBlobType = "Blob";
constexpr const char* kEndType = "BenchEnd";
constexpr int kQueuedBatch = 64;        // records per transmit pass for queued sends
constexpr int kBigBuffer = 256 * 1024;  // raw "best": batch and read-buffer size
constexpr int kLibChunk = 1 << 20;      // output stream chunk: a body is one send
constexpr int kLibSendBuffer = 65536;   // the library's SO_SNDBUF, copied by "raw same"
constexpr int kPingWarmup = 200;
constexpr double kPeerDeadlineSeconds = 60.0;  // a peer that hangs this long is a failure

// CLOCK_MONOTONIC in nanoseconds: both processes of a run share it.
std::int64_t NowNs();
// NowNs() plus seconds.
std::int64_t DeadlineAfter(double seconds);

// Prints one line on standard output and flushes it: the peer's report to the orchestrator.
void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Prints what failed on standard error and ends the peer with status 2.
[[noreturn]] void Fail(const char* what);

// Header bytes for a type name, as the library writes them.
std::string Header(const char* type);
// True when the record starts with the end marker's header.
bool IsEndRecord(const char* data, std::size_t length);

// A body of the run's size, sent by every sender; received bodies are discarded into the
// scratch buffer so that the host's own allocation is not what is measured.
std::vector<char>& Payload();
std::vector<char>& Scratch();

// Sorts the round trips (ns) and reports "RTT <median> <p99>".
void ReportLatencies(std::vector<std::int64_t>& rtts);

}  // namespace kepbench
