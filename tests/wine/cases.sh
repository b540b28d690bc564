# Cases of the Windows stage (sourced by scripts/wine-test.sh). Each case_NAME runs in a folder
# of its own; run_exe STATUS TRANSCRIPT ARGS... runs halvard.exe there under Wine and compares
# the exit status and tests/wine/expected/TRANSCRIPT.txt; start_sim OPTIONS... serves a board on
# a pty that COM1 reaches.

WINE_CASES=(
    usage
    illegal_function
    missing_port
    baud_zero
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
