#pragma once

#include <vector>

#include "base/host_file.hpp"
#include "ops/stretches.hpp"

namespace halvard {

struct Job;

// /P through the loader: the sectors that already hold the image are left alone, the others
// erased and programmed from compressed frames that the loader proves before they reach the
// chip; then every page is proven as with /PLAIN. Where the loader cannot run, the run says so
// in one line and programs plain.
void ProgramThroughLoader(Job& job, HostFile& file, const std::vector<Stretch>& stretches);

}  // namespace halvard
