// kzr-415-sim --replay CAPTURE: the capture read before PROGRAM starts, handed to the
// emulated bus as a recording in bus notation, and the run's divergence told afterwards.
#pragma once

#include "launcher/sim-command-line.hpp"
#include "launcher/state-preparation.hpp"

#include <string>
#include <vector>

namespace kzr415::sim {

// kzr-415-sim's exit status when the replay diverged, whatever PROGRAM's was.
inline constexpr int replay_diverged_status = 124;

// A replay's recording and report, among the run's files.
class ReplayRun {
  public:
    // Refuses options that contradict a replay, reads the capture `line.replay` (either
    // format) and writes its recording and an empty report file into the run's folder,
    // named in `line.config` for PROGRAM's environment. False with `error` set to
    // kzr-415-sim's message.
    bool prepare(CommandLine &line, RunFiles &files, std::string &error);

    // After PROGRAM ended: the first divergence, as kzr-415-sim reports it (without its
    // prefix); empty when PROGRAM made exactly the recorded transfers. `state` is the run's
    // state file, whose transfer count tells a run that stopped short.
    [[nodiscard]] std::string divergence(const std::string &state) const;

  private:
    std::string report_;
    std::vector<std::string> expected_; // the recording's requests, for a run that stops short
};

} // namespace kzr415::sim
