#pragma once
// The status port: a small HTTP server for the tools operators already run
// (Prometheus, load balancer and service checks). "GET /metrics" gives the
// counters of the streams, jobs, images, monitoring clients and launches in
// the Prometheus text format; "GET /healthz" answers 200 "ok" while the job
// watcher loops and every permanent camera delivers frames, 503 with one
// reason per line otherwise. Off unless "StatusPort" is set.
#include <cstdint>
#include <functional>
#include <string>

// How the status server learns what it does not count itself.
struct StatusSources {
  std::function<int()> monitor_clients;  // connected monitoring clients; may be empty
};

// Starts the server on `port` of `bind_address` ("" : 127.0.0.1; an address
// that is none is reported and 127.0.0.1 is used) on a detached thread.
// Call after the configuration is loaded. False (after one line on the
// console and in the interface log) when the port cannot be bound; the
// gateway goes on without it.
bool StartStatusServer(int port, const std::string& bind_address, StatusSources sources);

// The body of "/metrics" at the monotonic moment `now_us`.
std::string StatusMetricsText(const StatusSources& sources, std::int64_t now_us);

// The "/healthz" verdict at `now_us`: empty when healthy, else one reason per
// line.
std::string StatusHealthProblems(std::int64_t now_us);
