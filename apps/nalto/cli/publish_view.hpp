#pragma once

#include <string>
#include <vector>

#include "nalto/nalto.hpp"

// What `nalto sim publish` shows beyond the step's own lines.
namespace nalto::cli {

// Most lines of the sim's own output shown after a failed replay.
inline constexpr std::size_t EVIDENCE_LINES = 40;

// The analysis's sensors, worst first: raw name, score, NRMSE, lag, normaliser and rows compared,
// then how the score is made. Whatever the artifact lacks shows as "-".
void print_sensor_table(const Json& result);

// What the analysis's diagnostics say of each sensor (its best lag in both directions, bias, gain and
// correlation) and each episode's score, worst first; nothing without diagnostics.
void print_diagnostics(const Json& result);

// Where the replay stood, how the sim ended and its last output lines, on stderr.
void print_evidence(const ReplayEvidence& evidence);

// "The sim's last N output lines:" and at most EVIDENCE_LINES of `output`'s last lines, on stderr.
void print_sim_output(const std::vector<std::string>& output);

// "Step, episode 4, row 17": the call and where it was made.
std::string position_text(const ReplayEvidence& evidence);

}  // namespace nalto::cli
