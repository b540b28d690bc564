#pragma once

#include <string>
#include <vector>

#include "support/bytes.hpp"
#include "support/process.hpp"
#include "support/sim_process.hpp"

namespace halvard::testing {

// The banner with the build date masked, as maskBuildDate leaves it.
inline const std::string kBanner =
    "\nHALVARD --- Utility\nfor Infineon C16x,C166SV2 and STMicroelectronic ST10,Super10\n"
    "Made by the Halvard developers, free flash tools for C16x boards\n"
    "Version 1.08. Compiled at <date>, portable edition with virtual board\n\n";

// A console transcript with the build date, the progress lines ("Completed x%\r" rewritten in
// place) and the elapsed time masked, so whole transcripts can be compared.
std::string normalise(const std::string& transcript);

// Runs halvard in the folder and returns its normalised transcript and status.
ProcessResult runHalvard(const std::vector<std::string>& args, const std::string& folder);

// The lines of a successful start against a C16x board whose loader is waiting.
std::string startLines(const std::string& port,
                       const std::string& cpu = "Infineon C167CR/C167SR, Revision 1",
                       const std::string& clock = "20.0");

}  // namespace halvard::testing
