// Golden transcripts: what whole runs of halvard print, their statuses and the files they leave,
// compared with tests/transcripts/expected/NAME.txt as recorded from the program itself.
// HALVARD_TRANSCRIPTS_UPDATE=1 records them anew. Runs with board faults go through the
// transcript driver (driver/main.cpp), every other run through the real executable.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <list>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.hpp"
#include "support/sim_process.hpp"

namespace halvard::testing {
namespace {

namespace fs = std::filesystem;

// One case: its runs one after another in one fresh folder, holding the files listed.
//   board: halvard-sim options for the driver (each run of the case); empty: the real halvard;
//          "pty" and options: the real halvard against halvard-sim on a pseudo-terminal, which
//          runs and files name "<pty>".
//   runs:  halvard's arguments, runs separated by ";".
//   files: NAME=CONTENTS, separated by blanks. CONTENTS is rand:SIZE:SEED (bytes of a seeded
//          generator), fill:SIZE:HEXBYTE or text:CHARACTERS ("|" for a line end, no blanks), or
//          several of them joined by "+", optionally followed by ",flip=HEXOFFSET" (one byte
//          inverted); or dir (a folder), or locked (an empty file that the test holds locked,
//          as another run would). Sizes take 0x.
struct Case {
    std::string_view name;
    std::string_view board;
    std::string_view runs;
    std::string_view files;
};

// "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF" is the flash after "/P image.bin" of
// "image.bin=rand:4096:1".
// clang-format off
constexpr std::array kCases = std::to_array<Case>({
    // Requests and the command line: nothing reaches a port.
    {"usage_no_arguments", "", "", ""},
    {"usage_help_forms", "", "--help ; -h ; /?", ""},
    {"version", "", "--version", ""},
    {"ports", "", "--ports", ""},
    {"illegal_function", "", "/X image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"missing_filename", "", "/P ; /r", ""},
    {"illegal_option", "", "/P image.bin /COM=SIM /BOGUS", "image.bin=rand:4096:1"},
    {"exclusive_options", "", "/P image.bin /ERASEALL /NOERASE ; /R out.bin /16BIT /8BIT", "image.bin=rand:4096:1"},
    {"odd_numbers", "", "/P image.bin /L=3 ; /R out.bin /O=1 ; /P odd.bin", "image.bin=rand:4096:1 odd.bin=rand:4095:2"},
    {"input_file_missing", "", "/P nothere.bin /COM=SIM ; /V nothere.bin /COM=SIM", ""},
    {"input_file_empty", "", "/P empty.bin /COM=SIM", "empty.bin=fill:0:0"},
    {"input_file_is_folder", "", "/V adir /COM=SIM", "adir=dir"},
    {"file_offset_beyond_file", "", "/P image.bin /COM=SIM /FO=1002", "image.bin=rand:4096:1"},
    {"speed_not_a_rate", "", "/P image.bin /COM=SIM /SPEED=0 ; /P image.bin /COM=SIM /SPEED=-5", "image.bin=rand:4096:1"},
    {"reset_option_errors", "", "/R out.bin /COM=SIM /RESET=FOO ; /R out.bin /COM=SIM /RESET=A:B:C ; /R out.bin /COM=SIM /RESET=DTR+,20000", ""},

    // Ports that do not open (status 3).
    {"port_missing", "", "/P image.bin /COM=/dev/halvard-missing", "image.bin=rand:4096:1"},
    {"port_not_serial", "", "/P image.bin /COM=/dev/null", "image.bin=rand:4096:1"},
    {"baud_zero", "", "/P image.bin /COM=SIM /BAUD=0", "image.bin=rand:4096:1"},
    {"pty_without_modem_lines", "pty", "/P image.bin /COM=<pty> /RESET=DTR-RESET", "image.bin=rand:4096:1"},
    {"pty_in_use", "pty", "/P image.bin /COM=<pty>", "image.bin=rand:4096:1 <pty>=locked"},
    {"sim_bad_options", "", "/R out.bin /COM=SIM:BOGUS ; /R out.bin /COM=SIM:FLASH=nochip ; /R out.bin /COM=SIM:ADAPTER=0", ""},
    {"sim_flash_file_wrong_size", "", "/R out.bin /COM=SIM /L=10", "halvard-sim.bin=fill:1000:0"},
    {"sim_flash_file_is_folder", "", "/R out.bin /COM=SIM /L=10", "halvard-sim.bin=dir"},
    {"sim_flash_file_busy", "", "/R out.bin /COM=SIM /L=10", "halvard-sim.bin.lock=locked"},
    {"sim_flash_file_cannot_create", "", "/P image.bin /COM=SIM", "image.bin=rand:4096:1 halvard-sim.bin.tmp=dir"},
    {"sim_flash_file_cannot_save", "", "/P image.bin /COM=SIM", "image.bin=rand:4096:1 halvard-sim.bin=fill:0x20000:FF halvard-sim.bin.tmp=dir"},

    // The functions on the built-in board.
    {"program_verify_read", "", "/P image.bin /COM=SIM ; /V image.bin /COM=SIM ; /R back.bin /COM=SIM /L=1000", "image.bin=rand:4096:1"},
    {"demo", "", "/P image.bin /COM=SIM ; /V image.bin /COM=SIM ; /R readback.bin /COM=SIM /L=10000", "image.bin=rand:65536:2026"},
    {"options_lowercase", "", "/p image.bin /com=sim /eraseall /o=0 /l=-1 ; /v image.bin /com=sim:flash=PSD813F", "image.bin=rand:4096:1"},
    {"program_window", "", "/P image.bin /COM=SIM /O=3F00 /FO=100 /L=400 ; /V image.bin /COM=SIM /O=3F00 /FO=100 /L=400 ; /R window.bin /COM=SIM /O=3F00 /L=400", "image.bin=rand:4096:1"},
    {"length_warnings", "", "/P image.bin /COM=SIM /L=2000 ; /P image.bin /COM=SIM /FO=800 /L=1000", "image.bin=rand:4096:1"},
    {"raw_image_beyond_device", "", "/P image.bin /COM=SIM /O=1F000 ; /V image.bin /COM=SIM /O=1F000 ; /P image.bin /COM=SIM /O=1F000 /ERASEALL", "halvard-sim.bin=rand:0x20000:3 image.bin=rand:8192:1"},
    {"program_noerase", "", "/P image.bin /COM=SIM /NOERASE ; /V image.bin /COM=SIM", "image.bin=rand:4096:1"},
    // An erased sector is programmed without an erase, one with a byte beyond the image is not.
    {"erased_sector_kept_and_stray_byte_erased", "", "/P image.bin /COM=SIM:FLASH=am29f400bb ; /P image.bin /COM=SIM:FLASH=am29f400bb /O=20000 ; /V stray.bin /COM=SIM:FLASH=am29f400bb /O=22FFE", "halvard-sim.bin=fill:0x22FFF:FF+rand:1:5+fill:0x5D000:FF image.bin=rand:4096:1 stray.bin=fill:2:FF"},
    {"noerase_over_data", "", "/P other.bin /COM=SIM /NOERASE", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF other.bin=rand:4096:9"},
    {"verify_difference", "", "/P image.bin /COM=SIM ; /V other.bin /COM=SIM", "image.bin=rand:4096:1 other.bin=rand:4096:1,flip=802"},
    {"eraseall_before_verify_and_read", "", "/V image.bin /COM=SIM /ERASEALL ; /R out.bin /COM=SIM /L=10 /ERASEALL", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF image.bin=rand:4096:1"},
    {"read_ranges", "", "/R tail.bin /COM=SIM /O=1F000 /L=2000 ; /R end.bin /COM=SIM /O=20000 ; /R beyond.bin /COM=SIM /O=20002 ; /R all.bin /COM=SIM /L=-1", "halvard-sim.bin=rand:0x20000:3"},
    {"read_formats", "", "/R p.hex /COM=SIM /O=800 /L=40 ; /R p.S28 /COM=SIM /O=800 /L=40 ; /R p.mot /COM=SIM /O=800 /L=40 ; /R p.ihx /COM=SIM /O=800 /L=40 ; /R p.srec /COM=SIM /O=800 /L=40", "halvard-sim.bin=rand:0x20000:3"},
    {"read_formats_low_base", "--flash-base 8000", "/R p.hex /COM=SIM /DB=8000 /L=40 ; /R p.s19 /COM=SIM /DB=8000 /L=40", "halvard-sim.bin=rand:0x20000:3"},
    {"read_formats_high_base", "--flash-base 100000", "/R p.h86 /COM=SIM /DB=100000 /L=40 ; /R p.s37 /COM=SIM /DB=100000 /L=40", "halvard-sim.bin=rand:0x20000:3"},
    {"program_record_images", "", "/R part.hex /COM=SIM /O=800 /L=400 ; /R part.s19 /COM=SIM /O=3F00 /L=200 ; /P part.hex /COM=SIM /ERASEALL ; /P part.s19 /COM=SIM /NOERASE ; /V part.hex /COM=SIM ; /V part.s19 /COM=SIM ; /R all.bin /COM=SIM", "halvard-sim.bin=rand:0x20000:3"},
    {"record_image_window", "", "/R part.hex /COM=SIM /O=800 /L=400 ; /P part.hex /COM=SIM /O=900 /L=100 ; /P part.hex /COM=SIM /FO=2", "halvard-sim.bin=rand:0x20000:3"},
    {"record_file_faults", "", "/P bad.hex /COM=SIM ; /P nodata.hex /COM=SIM ; /P noend.hex /COM=SIM ; /P overlap.hex /COM=SIM ; /P badtype.hex /COM=SIM ; /P count.s19 /COM=SIM ; /P outside.hex /COM=SIM",
     "bad.hex=text::020000022000DC|:0400000001020304F1|:00000001FF| nodata.hex=text::00000001FF| noend.hex=text::020000022000DC|:0400000001020304F2| "
     "overlap.hex=text::020000022000DC|:0400000001020304F2|:0400000009090909D8|:00000001FF| badtype.hex=text::020000022000DC|:00000006FA|:00000001FF| "
     "count.s19=text:S20802000001020304EB|S5030002FA|S804000000FB| outside.hex=text::020000021000EC|:0400000001020304F2|:00000001FF|"},
    {"record_file_syntax", "", "/P len01.hex /COM=SIM ; /P notcolon.hex /COM=SIM ; /P short.hex /COM=SIM ; /P count.hex /COM=SIM ; /P nonhex.hex /COM=SIM ; /P odd.hex /COM=SIM ; /P long.hex /COM=SIM ; /P beyond.hex /COM=SIM ; /P notS.s19 /COM=SIM ; /P typeS4.s19 /COM=SIM ; /P dataS9.s19 /COM=SIM ; /P noend.s19 /COM=SIM",
     "len01.hex=text::020000022000DC|:0100000100FE| notcolon.hex=text::020000022000DC|X0400000001020304F2|:00000001FF| short.hex=text::020000022000DC|:00|:00000001FF| "
     "count.hex=text::020000022000DC|:05000000010203F5|:00000001FF| nonhex.hex=text::020000022000DC|:04000000010203G4F2|:00000001FF| "
     "odd.hex=text::020000022000DC|:040000000102030|:00000001FF| long.hex=text::020000022000DC|:+fill:600:41+text:| beyond.hex=text::02000004FFFFFC|:04FFFE0001020304F5|:00000001FF| "
     "notS.s19=text:S10510000102E7|X9030000FC| typeS4.s19=text:S10510000102E7|S404000001FA|S9030000FC| dataS9.s19=text:S10510000102E7|S904000001FA| noend.s19=text:S10510000102E7|"},
    {"record_file_half_word", "", "/P half.hex /COM=SIM:FLASH=am29f400bb", "half.hex=text::020000022000DC|:03000100010203F6|:00000001FF|"},
    {"xc16x", "", "/P image.bin /COM=SIM /XC16X ; /V image.bin /COM=SIM /XC16X ; /R back.bin /COM=SIM /XC16X /L=1000", "image.bin=rand:4096:1"},
    {"read_cannot_create", "", "/R nodir/out.bin /COM=SIM /L=10 ; /R adir /COM=SIM /L=10", "adir=dir"},
    {"read_disk_full", "", "/R /dev/full /COM=SIM /L=10", ""},

    // Flash chips.
    {"chip_am29f400bb", "", "/P image.bin /COM=SIM:FLASH=am29f400bb /O=3800 ; /V image.bin /COM=SIM:FLASH=am29f400bb /O=3800 ; /R back.bin /COM=SIM:FLASH=am29f400bb /O=3800 /L=1000", "image.bin=rand:4096:1"},
    {"chip_am29f400bt_byte_mode", "", "/P image.bin /COM=SIM:FLASH=am29f400bt-x8 /O=7F800 ; /V image.bin /COM=SIM:FLASH=am29f400bt-x8 /O=7F800", "image.bin=rand:2048:1+fill:2048:FF"},
    {"chip_am29f010_pair", "", "/P image.bin /COM=SIM:FLASH=am29f010-pair /O=7800 ; /V image.bin /COM=SIM:FLASH=am29f010-pair /O=7800", "image.bin=rand:4096:1"},
    {"chip_psd835g2", "", "/P image.bin /COM=SIM:FLASH=psd835g2 ; /R back.bin /COM=SIM:FLASH=psd835g2 /L=1000", "image.bin=rand:4096:1"},
    {"chip_cfi_only", "", "/P image.bin /COM=SIM:FLASH=am29lv320dt ; /V image.bin /COM=SIM:FLASH=am29lv320dt", "image.bin=rand:4096:1"},
    {"chip_intel_command_set", "", "/P image.bin /COM=SIM:FLASH=28f800b3b", "image.bin=rand:4096:1"},
    {"chip_none", "", "/P image.bin /COM=SIM:FLASH=none", "image.bin=rand:4096:1"},
    {"chip_unknown_id", "", "/P image.bin /COM=SIM:FLASH=unknown", "image.bin=rand:4096:1"},
    {"chip_word_part_with_8bit", "", "/P image.bin /COM=SIM:FLASH=am29f400bb /8BIT", "image.bin=rand:4096:1"},
    {"chip_psd_with_16bit", "", "/P image.bin /COM=SIM /16BIT", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF image.bin=rand:4096:1"},
    {"device_base_elsewhere", "", "/P image.bin /COM=SIM /DB=30000", "image.bin=rand:4096:1"},
    {"flash_image_option", "--flash am29f010 --flash-image board.img", "/P image.bin /COM=SIM ; /V image.bin /COM=SIM", "image.bin=rand:4096:1"},

    // The line's rate, modem lines and adapter.
    {"speed_max", "", "/P image.bin /COM=SIM /SPEED=MAX ; /V image.bin /COM=SIM /SPEED=MAX", "image.bin=rand:4096:1"},
    {"speed_exact_rates", "", "/R out.bin /COM=SIM /L=1000 /SPEED=125000 ; /R out2.bin /COM=SIM /L=1000 /BAUD=9600 /SPEED=19200", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF"},
    {"speed_refused", "", "/R out.bin /COM=SIM /SPEED=115200", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF"},
    {"speed_nothing_faster", "", "/R out.bin /COM=SIM /L=10 /BAUD=625000 /SPEED=MAX", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF"},
    {"speed_back_after_failure", "", "/V other.bin /COM=SIM /SPEED=MAX", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF other.bin=rand:4096:1,flip=802"},
    {"baud_no_board_clock", "", "/R out.bin /COM=SIM /BAUD=300", ""},
    {"baud_some_board_clocks", "", "/R out.bin /COM=SIM /BAUD=115200 ; /R out.bin /COM=SIM /BAUD=250000", ""},
    {"clock_40mhz_fast_line", "--clock 40", "/R out.bin /COM=SIM /L=1000 /BAUD=115200 /SPEED=MAX", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF"},
    {"reset_app_dtr_reset", "", "/P image.bin /COM=SIM:APP /RESET=DTR-RESET:DTR-RESET", "image.bin=rand:4096:1"},
    {"reset_app_not_reset", "", "/R out.bin /COM=SIM:APP /L=10 ; /R out.bin /COM=SIM:APP /L=10 /RESET=RTS-RESET", ""},
    {"reset_steps", "", "/R out.bin /COM=SIM /L=10 /RESET=RTS+,DTR+,20,DTR-,20:RTS-,DTR+,20,DTR- ; /R out.bin /COM=SIM /L=10 /RESET=:DTR-RESET", ""},
    {"adapter_latency", "", "/R out.bin /COM=SIM:ADAPTER=16 /L=1000 ; /R out.bin /COM=SIM:ADAPTER=1,APP /L=1000 /RESET=DTR-RESET", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF"},

    // Boards that misbehave (through the driver).
    {"fault_silent", "--fault silent", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_echo", "--fault echo", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_loader_id", "--fault id=85", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_no_ack", "--fault no-ack", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_bad_ack", "--fault bad-ack=41", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_upload_monitor_checksum", "--fault corrupt-upload=100", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_upload_no_monitor_answer", "--fault corrupt-upload=201", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_upload_core_stops", "--fault corrupt-upload=0", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_upload_monitor_not_located", "--fault corrupt-upload=172", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_upload_word_read_lost", "--fault corrupt-upload=49", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_upload_checksum_lost", "--fault corrupt-upload=113", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_monitor_running", "--fault running", "/P image.bin /COM=SIM ; /V image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_monitor_running_xc16x", "--fault running", "/P image.bin /COM=SIM /XC16X", "image.bin=rand:4096:1"},
    {"cpu_c167cs", "--cpu c167cs", "/R out.bin /COM=SIM /L=10", ""},
    {"cpu_c161pi_16mhz", "--cpu c161pi --clock 16", "/R out.bin /COM=SIM /L=10", ""},
    {"cpu_unknown_id", "--cpu-id 12345678", "/R out.bin /COM=SIM /L=10", ""},
    {"cpu_xc16x_without_option", "--cpu xc16x", "/R out.bin /COM=SIM /L=10", ""},
    {"fault_stuck_cell", "--fault stuck=100", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_stuck_cell_noerase", "--fault stuck=100", "/P image.bin /COM=SIM /NOERASE", "image.bin=rand:4096:1"},
    {"fault_erase_fails", "--fault erase-fail=0", "/P image.bin /COM=SIM", "image.bin=rand:4096:1 halvard-sim.bin=rand:0x20000:3"},
    {"fault_erase_fails_16bit", "--flash am29f400bb --fault erase-fail=0", "/P image.bin /COM=SIM", "image.bin=rand:4096:1 halvard-sim.bin=rand:0x80000:3"},
    {"fault_erase_fails_outside_range", "--fault erase-fail=5", "/P image.bin /COM=SIM /ERASEALL", "image.bin=rand:4096:1"},
    {"fault_erase_fails_old_data_stays", "--fault erase-fail=5", "/P image.bin /COM=SIM /ERASEALL", "image.bin=rand:4096:1 halvard-sim.bin=rand:0x20000:3"},
    {"fault_slow_erase", "--fault slow-erase=70000", "/P image.bin /COM=SIM", "image.bin=rand:4096:1 halvard-sim.bin=rand:0x20000:3"},
    {"fault_split_answer", "--fault split-answer", "/P image.bin /COM=SIM /PLAIN", "image.bin=rand:4096:1"},
    {"fault_hangup", "--fault hangup=500", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"fault_hangup_at_once", "--fault hangup=0", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    // drop=N: the board's Nth byte for the host is lost; the numbers hit the answers named.
    {"drop_loader_id", "--fault drop=1", "/R out.bin /COM=SIM /L=1000", ""},
    {"drop_latency_ping", "--fault drop=11", "/R out.bin /COM=SIM /L=1000", ""},
    {"drop_flash_id_byte", "--fault drop=20", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"drop_word_read", "--fault drop=21", "/R out.bin /COM=SIM /L=1000", ""},
    {"drop_upload_answer", "--fault drop=36", "/R out.bin /COM=SIM /L=1000", ""},
    {"drop_block_answer", "--fault drop=79", "/P image.bin /COM=SIM /PLAIN", "image.bin=rand:4096:1"},
    {"read_timeout_once", "--fault drop=101", "/R out.bin /COM=SIM /L=1000", ""},
    {"read_timeout_twice", "--fault drop=101 --fault drop=4800", "/R out.bin /COM=SIM /L=1000", ""},
    {"verify_timeout_twice", "--fault drop=600 --fault drop=1700", "/V other.bin /COM=SIM", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF other.bin=rand:4096:1,flip=802"},
    {"flash_answer_not_understood", "--fault stuck=100 --fault drop=2209", "/P image.bin /COM=SIM /PLAIN", "image.bin=rand:4096:1"},
    {"flash_answer_lost", "--fault stuck=100 --fault drop=2209 --fault drop=2210 --fault drop=2211", "/P image.bin /COM=SIM /PLAIN", "image.bin=rand:4096:1"},
    {"speed_board_answers_neither", "--fault drop=23", "/R out.bin /COM=SIM /L=2 /SPEED=MAX", ""},
    {"speed_board_stays_fast", "--fault drop=56", "/R out.bin /COM=SIM /L=2 /SPEED=MAX", ""},
    // noise=RATE,SEED: the seeds pick runs that end in the paths named.
    {"noise_program_line_blamed", "--fault noise=0.0002,10", "/P image.bin /COM=SIM /PLAIN", "image.bin=rand:4096:1"},
    {"noise_program_routine_loaded_again", "--fault noise=0.0005,14", "/P image.bin /COM=SIM /PLAIN", "image.bin=rand:4096:1"},
    {"noise_algorithm_load", "--fault noise=0.0003,6", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"noise_read_line_blamed", "--fault noise=0.0005,1", "/R out.bin /COM=SIM /L=1000", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF"},
    {"noise_read_recovers", "--fault noise=0.0005,3", "/R out.bin /COM=SIM /L=1000", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF"},
    {"noise_verify_routine_loaded_again", "--fault noise=0.0005,137", "/V image.bin /COM=SIM", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF image.bin=rand:4096:1"},

    // Ctrl-C at a moment of the board's time since the line opened.
    {"interrupt_quiet_wait", "--interrupt-at 20", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"interrupt_erase", "--interrupt-at 357", "/P image.bin /COM=SIM", "image.bin=rand:4096:1"},
    {"terminate_programming", "--interrupt-at 369:15", "/P image.bin /COM=SIM /PLAIN", "image.bin=rand:4096:1"},
    {"hangup_verify", "--interrupt-at 60:1", "/V image.bin /COM=SIM", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF image.bin=rand:4096:1"},
    {"interrupt_read_keeps_file", "--interrupt-at 82", "/R out.bin /COM=SIM", "halvard-sim.bin=rand:4096:1+fill:0x1F000:FF out.bin=rand:100:6"},
});
// clang-format on

// ---- the case's folder -------------------------------------------------------------------

std::uint32_t number(const std::string& text, int base = 0) {
    std::size_t used = 0;
    const unsigned long value = std::stoul(text, &used, base);
    if (used != text.size())
        throw std::invalid_argument("not a number: " + text);
    return static_cast<std::uint32_t>(value);
}

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in{std::string(text)};
    while (std::getline(in, part, separator))
        parts.push_back(part);
    if (parts.empty())
        parts.emplace_back();
    return parts;
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> all;
    std::istringstream in{std::string(text)};
    for (std::string word; in >> word;)
        all.push_back(word);
    return all;
}

void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

// The lock that a run holds on the board's flash file or on a serial port, held by the test
// until the case ends.
class HeldLock {
  public:
    explicit HeldLock(const fs::path& path)
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) != 0)
            throw std::runtime_error("cannot lock " + path.string());
    }
    ~HeldLock() { ::close(fd_); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

  private:
    int fd_;
};

// The bytes of one piece of a file: rand:SIZE:SEED, fill:SIZE:HEXBYTE or text:CHARACTERS.
std::string piece(const std::string& recipe) {
    const std::vector<std::string> field = split(recipe, ':');
    if (field[0] == "rand") {
        std::mt19937 generator(number(field.at(2)));
        std::string bytes(number(field.at(1)), '\0');
        for (char& b : bytes)
            b = static_cast<char>(generator());
        return bytes;
    }
    if (field[0] == "fill")
        return std::string(number(field.at(1)), static_cast<char>(number(field.at(2), 16)));
    if (field[0] == "text") {
        std::string text = recipe.substr(5);
        std::ranges::replace(text, '|', '\n');
        return text;
    }
    throw std::invalid_argument("unknown file contents: " + recipe);
}

void prepare(const fs::path& folder, std::string_view files, std::list<HeldLock>& locks) {
    for (const std::string& entry : words(files)) {
        const std::size_t equals = entry.find('=');
        const fs::path path = folder / entry.substr(0, equals);
        std::string recipe = entry.substr(equals + 1);
        std::string flip;
        if (const std::size_t comma = recipe.find(",flip="); comma != std::string::npos) {
            flip = recipe.substr(comma + 6);
            recipe.erase(comma);
        }
        if (recipe == "dir") {
            fs::create_directory(path);
        } else if (recipe == "locked") {
            locks.emplace_back(path);
        } else {
            std::string bytes;
            for (const std::string& part : split(recipe, '+'))
                bytes += piece(part);
            if (!flip.empty()) {
                char& b = bytes.at(number(flip, 16));
                b = static_cast<char>(~b);
            }
            writeBytes(path, bytes);
        }
    }
}

// ---- one run -------------------------------------------------------------------------------

struct Outcome {
    int status = -1;  // the exit status, or 128 + the signal that ended the process
    int signal = 0;
    std::string out;
    std::string err;
};

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A run that hangs is ended by SIGALRM after this long and shows as status 142.
constexpr unsigned kRunLimitSeconds = 120;

Outcome runIn(const fs::path& folder, const fs::path& capture, std::vector<std::string> argv) {
    const fs::path outPath = capture / "stdout";
    const fs::path errPath = capture / "stderr";
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || ::chdir(folder.c_str()) != 0)
            ::_exit(126);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        std::vector<char*> pointers;
        for (std::string& word : argv)
            pointers.push_back(word.data());
        pointers.push_back(nullptr);
        ::alarm(kRunLimitSeconds);
        ::execv(pointers[0], pointers.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    Outcome outcome;
    if (WIFSIGNALED(status)) {
        outcome.signal = WTERMSIG(status);
        outcome.status = 128 + outcome.signal;
    } else {
        outcome.status = WEXITSTATUS(status);
    }
    outcome.out = contents(outPath);
    outcome.err = contents(errPath);
    return outcome;
}

// ---- the transcript ------------------------------------------------------------------------

// What differs from one machine, folder or build to the next: the build date, the elapsed time
// (real time until the virtual board's line opens), this machine's ports, and the texts given
// (the case's folder, the pseudo-terminal) with their masks.
using Masks = std::vector<std::pair<std::string, std::string>>;

std::string normalise(const std::string& text, const Masks& masks) {
    static const std::regex elapsed(R"(Total Elapsed time = [0-9]+\.[0-9]{2} sec)");
    static const std::regex programmed(R"((sectors unchanged, )[0-9]+\.[0-9] s)");
    static const std::regex portList(R"((^|\n)(/dev/[^\n]*\n)+|(^|\n)No serial ports found\n)");
    static const std::regex portHint(R"(Hint: serial ports here: [^\n]*)");
    std::string result = maskBuildDate(text);
    result = std::regex_replace(result, elapsed, "Total Elapsed time = <t> sec");
    result = std::regex_replace(result, programmed, "$1<t> s");
    result = std::regex_replace(result, portList, "$1$3<this machine's ports>\n");
    result = std::regex_replace(result, portHint, "Hint: serial ports here: <this machine's>");
    for (const auto& [from, to] : masks) {
        for (std::size_t at; (at = result.find(from)) != std::string::npos;)
            result.replace(at, from.size(), to);
    }
    return result;
}

// Every line ends in "$" (LF), "^M" (CR, the progress line rewritten in place) or "^M$" (CR LF);
// tabs and other control characters show as ^I and so on, so that nothing is invisible.
std::string render(const std::string& stream) {
    std::string text;
    bool lineOpen = false;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        const char c = stream[i];
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n') {
            text += "$\n";
        } else if (c == '\r' && i + 1 < stream.size() && stream[i + 1] == '\n') {
            text += "^M$\n";
            ++i;
        } else if (c == '\r') {
            text += "^M\n";
        } else if (u < 0x20 || u == 0x7F) {
            text += '^';
            text += static_cast<char>(u ^ 0x40);
        } else {
            text += c;
        }
        lineOpen = c != '\n' && c != '\r';
    }
    return lineOpen ? text + "\n" : text;
}

std::string hashOf(const std::string& bytes) {
    std::uint64_t hash = 0xCBF29CE484222325;
    for (const char c : bytes)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3;
    std::array<char, 17> text{};
    std::snprintf(text.data(), text.size(), "%016llx", static_cast<unsigned long long>(hash));
    return text.data();
}

constexpr std::size_t kShownTextBytes = 2048;

bool isTextByte(char c) {
    return c == '\n' || c == '\r' || (c >= ' ' && c <= '~');
}

// Each file of the folder, with its size and an FNV-1a hash of its bytes.
std::string listing(const fs::path& folder) {
    std::set<std::string> lines;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = fs::relative(entry.path(), folder).generic_string();
        if (entry.is_directory()) {
            lines.insert(name + "/");
        } else {
            const std::string bytes = contents(entry.path());
            std::string line = name + " " + std::to_string(bytes.size()) + " " + hashOf(bytes);
            // Small text files (HEX and S-records that /R wrote, say) are shown whole.
            if (bytes.size() <= kShownTextBytes && std::ranges::all_of(bytes, isTextByte)) {
                std::istringstream in(render(bytes));
                for (std::string textLine; std::getline(in, textLine);)
                    line += "\n    " + textLine;
            }
            lines.insert(line);
        }
    }
    std::string text;
    for (const std::string& line : lines)
        text += "  " + line + "\n";
    return text;
}

// The word "<pty>" in a run's arguments: the pseudo-terminal of halvard-sim.
constexpr std::string_view kPty = "<pty>";

std::string transcriptOf(const Case& c, const fs::path& root) {
    const fs::path folder = root / "work";
    fs::create_directory(folder);
    Masks masks{{folder.string(), "<dir>"}};
    // board "pty [options]": halvard-sim serves the board, and the real halvard opens its line.
    std::optional<SimProcess> sim;
    std::vector<std::string> board = words(c.board);
    if (!board.empty() && board.front() == "pty") {
        sim.emplace(std::vector<std::string>(board.begin() + 1, board.end()));
        masks.emplace_back(sim->device(), kPty);
        board.clear();
    }
    const auto withPty = [&](std::string text) {
        for (std::size_t at; sim && (at = text.find(kPty)) != std::string::npos;)
            text.replace(at, kPty.size(), sim->device());
        return text;
    };
    std::list<HeldLock> locks;
    prepare(folder, withPty(std::string(c.files)), locks);
    std::string text;
    for (const std::string& run : split(c.runs, ';')) {
        std::vector<std::string> argv{HALVARD_EXE};
        std::string shown =
            sim ? "halvard-sim" + std::string(c.board.substr(3)) + " & halvard" : "halvard";
        if (!board.empty()) {
            argv = {HALVARD_TRANSCRIPT_DRIVER};
            argv.insert(argv.end(), board.begin(), board.end());
            argv.push_back("--");
            shown = "halvard_transcript_driver " + std::string(c.board) + " --";
        }
        for (const std::string& word : words(run)) {
            shown += " " + word;
            argv.push_back(withPty(word));
        }
        const Outcome outcome = runIn(folder, root, argv);
        text += "run: " + shown + "\nstatus " + std::to_string(outcome.status);
        if (outcome.signal != 0)
            text += " (signal " + std::to_string(outcome.signal) + ")";
        text += "\nstdout:\n" + render(normalise(outcome.out, masks));
        text += "stderr:\n" + render(normalise(outcome.err, masks)) + "\n";
    }
    return text + "files:\n" + listing(folder);
}

fs::path expectedFile(std::string_view name) {
    return fs::path(HALVARD_TRANSCRIPTS_EXPECTED) / (std::string(name) + ".txt");
}

bool updating() {
    const char* update = std::getenv("HALVARD_TRANSCRIPTS_UPDATE");
    return update != nullptr && std::string_view(update) == "1";
}

// gtest shows the parameter beside the test's name.
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class Transcript : public ::testing::TestWithParam<Case> {};

TEST_P(Transcript, MatchesRecording) {
    const Case& c = GetParam();
    TempFolder root;
    const std::string actual = transcriptOf(c, root.path());
    const fs::path expected = expectedFile(c.name);
    if (updating()) {
        writeBytes(expected, actual);
        return;
    }
    ASSERT_TRUE(fs::exists(expected))
        << expected << " is missing: record it with HALVARD_TRANSCRIPTS_UPDATE=1";
    EXPECT_EQ(contents(expected), actual);
}

INSTANTIATE_TEST_SUITE_P(Transcripts, Transcript, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

// A recording whose case was renamed or removed would otherwise stay behind unnoticed.
TEST(Transcripts, EachRecordingBelongsToACase) {
    for (const fs::directory_entry& entry :
         fs::directory_iterator(fs::path(HALVARD_TRANSCRIPTS_EXPECTED))) {
        const std::string name = entry.path().stem().string();
        EXPECT_TRUE(std::ranges::any_of(kCases, [&](const Case& c) { return c.name == name; }))
            << entry.path() << " belongs to no case";
    }
}

}  // namespace
}  // namespace halvard::testing
