// The agents in Prometheus's text format (version 0.0.4).
#ifndef PAEXPORTER_METRICS_H
#define PAEXPORTER_METRICS_H

#include "agents.h"

#include <agentclient/agentclient.hpp>

#include <string>

namespace paexporter {

inline constexpr const char *kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// What the metrics of one agent are made of: a record of each process (kind "process": name,
// host, state_code, pid and, from an agent that has them, its figures) and of each service
// (kind "service").
patools::Json MetricRecords(agentclient::Connection &agent);

// Every series of the agents' answers to MetricRecords and of their event counts.
std::string Metrics(const Answers &answers, const EventCounts &counts);

}  // namespace paexporter

#endif  // PAEXPORTER_METRICS_H
