// Placeholder until the monitor protocol is built; removed by that work.
#include "monitor/monitor.hpp"
#include "run/not_built.hpp"

namespace halvard {
std::uint8_t targetByteRead(Run& run, std::uint32_t) {
    NotBuiltYet(run, "targetByteRead");
}
std::uint16_t targetWordRead(Run& run, std::uint32_t) {
    NotBuiltYet(run, "targetWordRead");
}
void targetByteWrite(Run& run, std::uint32_t, std::uint8_t) {
    NotBuiltYet(run, "targetByteWrite");
}
void targetWordWrite(Run& run, std::uint32_t, std::uint16_t) {
    NotBuiltYet(run, "targetWordWrite");
}
std::uint16_t targetChecksum(Run& run, std::uint32_t, std::uint16_t) {
    NotBuiltYet(run, "targetChecksum");
}
std::uint32_t byteSum(std::span<const std::uint8_t> data) {
    std::uint32_t sum = 0;
    for (std::uint8_t b : data)
        sum += b;
    return sum;
}
int checkAddrSize(Run& run, std::uint32_t, std::uint16_t) {
    NotBuiltYet(run, "checkAddrSize");
}
bool target2Host(Run& run, std::uint32_t, std::span<std::uint8_t>) {
    NotBuiltYet(run, "target2Host");
}
void host2Target(Run& run, std::uint32_t, std::span<const std::uint8_t>) {
    NotBuiltYet(run, "host2Target");
}
void host2Flash(Run& run, std::uint32_t, std::span<const std::uint8_t>) {
    NotBuiltYet(run, "host2Flash");
}
}  // namespace halvard
