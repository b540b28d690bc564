# Cases of the Windows stage (sourced by scripts/wine-test.sh). Each case_NAME runs in a folder
# of its own; run_exe STATUS TRANSCRIPT ARGS... runs halvard.exe there under Wine and compares
# the exit status and tests/wine/expected/TRANSCRIPT.txt; start_sim OPTIONS... serves a board on
# a pty that COM1 reaches.
# WINE_CASES is read, case_dir and com1 are set by the stage.
# shellcheck shell=bash disable=SC2034,SC2154

WINE_CASES=(
    usage
    illegal_function
    missing_port
    baud_zero
    com1_round_trip
    com1_silent_board
    com1_stuck_cell
    com1_no_flash
    com1_line_lost
    com1_odd_rate
    com1_interrupted
    sim_round_trip
    sim_verify_difference
)

case_usage() {
    run_exe 0 usage
}

case_illegal_function() {
    run_exe 10 illegal_function /X image.bin
}

# COM12 exists nowhere in the prefix; opening it needs the \\.\ form.
case_missing_port() {
    random_image image.bin 256
    run_exe 3 missing_port /P image.bin /COM=12
    run_exe 3 missing_com1 /P image.bin
}

case_baud_zero() {
    random_image image.bin 256
    run_exe 3 baud_zero /P image.bin /BAUD=0
}

# pattern_image FILE BYTES: the same contents every run.
pattern_image() {
    local repeats=$(($2 / 30 + 1))
    printf 'Halvard under Wine 0123456789 %.0s' $(seq "$repeats") | head -c "$2" >"$case_dir/$1"
}

# flip_byte FILE OFFSET: inverts one byte of the file, so that it surely differs.
flip_byte() {
    local byte
    byte=$(od -An -tu1 -j "$2" -N1 "$case_dir/$1")
    printf '%b' "\\x$(printf %02x $((255 - byte)))" |
        dd of="$case_dir/$1" bs=1 seek="$2" conv=notrunc status=none
}

# ---- through COM1 to halvard-sim on a pty ----------------------------------------------------

# 128 KB of random data programmed, verified and read back; the file /R writes is the image.
case_com1_round_trip() {
    random_image image.bin 131072
    start_sim --reset-on-open || return 1
    run_exe 0 com1_program /P image.bin
    run_exe 0 com1_verify /V image.bin
    run_exe 0 com1_read /R readback.bin /L=20000
    same_file image.bin readback.bin
}

# A board that never answers, as one that is not in boot mode: the loader's time-out. Meanwhile a second halvard is refused the port that the first
# one holds.
case_com1_silent_board() {
    random_image image.bin 256
    start_sim --fault silent || return 1
    start_exe com1_silent /P image.bin
    sleep 1
    local first=$exe_pid
    run_exe 3 com1_in_use /P image.bin
    exe_pid=$first
    finish_exe 16 com1_silent
}

# A cell that does not take its data: the offset is reported.
case_com1_stuck_cell() {
    random_image image.bin 4096
    start_sim --reset-on-open --fault stuck=100 || return 1
    run_exe 22 com1_stuck /P image.bin
}

# No flash chip on the bus.
case_com1_no_flash() {
    random_image image.bin 256
    start_sim --fault flash=none || return 1
    run_exe 20 com1_no_flash /P image.bin
}

# The line goes away in the middle of the monitor's upload (a USB adapter pulled out): the run
# ends at once with the port named, never hangs.
case_com1_line_lost() {
    random_image image.bin 256
    start_sim --fault hangup=200 || return 1
    run_exe 3 com1_line_lost /P image.bin
}

# A rate that the pty cannot take is refused by the read-back, before any byte is sent.
case_com1_odd_rate() {
    random_image image.bin 256
    start_sim || return 1
    run_exe 3 com1_odd_rate /P image.bin /BAUD=250000
}

# Ctrl-C (Wine turns SIGINT into it) while the run waits for a silent board: the port gets its
# own rate back and the run ends with STATUS_CONTROL_C_EXIT as the shell sees it (0xC000013A &
# 0xFF).
case_com1_interrupted() {
    random_image image.bin 256
    start_sim --fault silent || return 1
    local pty
    pty=$(readlink "$com1")
    stty -F "$pty" 9600
    start_exe com1_interrupted /P image.bin /BAUD=115200
    # Inside the loader's first 2.1 s wait, so that the transcript ends with the port line.
    sleep 1
    local during
    during=$(stty -F "$pty" speed)
    [ "$during" = 115200 ] || fail "the port ran at $during during the run, not at 115200"
    kill -INT "$exe_pid"
    finish_exe 58 com1_interrupted
    local after
    after=$(stty -F "$pty" speed)
    [ "$after" = 9600 ] || fail "the port was left at $after after Ctrl-C, not at its own 9600"
}

# ---- through the board built into the .exe ---------------------------------------------------

# The board inside the .exe keeps its flash in halvard-sim.bin in the case's folder, from one
# run to the next.
case_sim_round_trip() {
    needs_board || return 1
    random_image image.bin 131072
    run_exe 0 sim_program /P image.bin /COM=SIM
    run_exe 0 sim_verify /V image.bin /COM=SIM
    run_exe 0 sim_read /R readback.bin /COM=SIM /L=20000
    same_file image.bin readback.bin
    # The whole 128 KB device was programmed: its cells are the image.
    same_file image.bin halvard-sim.bin
}

# A flash that /V finds different: the first differing offset is reported.
case_sim_verify_difference() {
    needs_board || return 1
    # Fixed contents: the transcript shows the differing word.
    pattern_image image.bin 4096
    run_exe 0 sim_small_program /P image.bin /COM=SIM
    flip_byte image.bin 2050
    run_exe 21 sim_difference /V image.bin /COM=SIM
}
