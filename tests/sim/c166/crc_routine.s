; The CRC-32 routine of src/target/crc_routine.hpp (image offsets 306-429 at image base 0FA40h),
; written out as source: assembled, it must give kCrcRoutine byte for byte.
        .org    0FB72h
        .equ    TXW, 0FB20h             ; the monitor's routines it calls (image offsets 224,
        .equ    TXB, TXW + 4            ; 228 and 274)
        .equ    RXAC, 0FB52h
        .equ    MODE, 0FDF0h            ; the mode word the host sets
        .equ    TA, 0FD70h              ; the two 16-entry tables
        .equ    TB, TA + 64
        .export LOOP
        .export SEND

        CALLR   RXAC                    ; R1 = window pointer, R2 = count
        MOV     R14, R2
        MOV     R0, R1
        MOV     R3, 0FE02h              ; CRC high word: DPP1 XOR the count
        XOR     R3, R14
        MOV     R2, #0
        BSET    S0TIC.7
        MOV     R12, MODE
        CMPD1   R12, #1
        JMPR    cc_NZ, TWO
        CALLR   START                   ; mode 1, the CRC only: R15 = LOOP
LOOP:   XORB    RL0, [R1+]
UPDATE: MOVBZ   R10, RL0
        MOV     R11, R10
        SHL     R10, #12
        SHR     R10, #10                ; R10 = (x AND 0Fh) * 4
        SHR     R11, #4
        SHL     R11, #2                 ; R11 = (x SHR 4) * 4
        MOVB    RL0, RH0
        MOVB    RH0, RL3
        MOVB    RL3, RH3
        MOVB    RH3, #0
        MOV     R12, [R10+#TA]
        XOR     R0, R12
        MOV     R12, [R10+#TA + 2]
        XOR     R3, R12
        MOV     R12, [R11+#TB]
        XOR     R0, R12
        MOV     R12, [R11+#TB + 2]
        XOR     R3, R12
        CMPD1   R14, #1
        JMPI    cc_NZ, [R15]            ; the next byte: LOOP or SEND
LAST:   JNB     S0TIC.7, LAST
        CALLR   TXW
        MOV     R0, R3
        JMPR    cc_UC, TXW
TWO:    CMPD1   R12, #1
        JMPR    cc_NZ, REFUSE
        BCLR    S0CON.4
        CALLR   START                   ; R15 = SEND
SEND:   JNB     S0TIC.7, SEND
        MOVB    RL2, [R1+]
        BCLR    S0TIC.7
        MOVB    0FEB0h, RL2             ; S0TBUF
        XOR     R0, R2
        JMPR    cc_UC, UPDATE
START:  POP     R15
        JMPI    cc_UC, [R15]
REFUSE: MOVB    RL0, #5Ah
        CALLR   TXB
        MOV     R0, #0
        JMPR    cc_UC, TXW
