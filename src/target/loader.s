; The loader: programs the flash from frames that it proves in RAM before one byte of them
; reaches the chip. The monitor's command 0x0E starts it (it lies in the flash algorithm's slot,
; from image offset 306); it answers 'R' and then takes frames until an end frame sends it back
; to the monitor.
;
; RAM (segment 0, through DPP3): the frame being programmed at 0F600h, the next one coming in
; at 0F7C0h meanwhile, the CRC tables at 0F980h-0F9FFh, the variables at 0FDF0h-0FDFFh, above
; the code. The host sets V_QUIET before it starts the loader. Every loop that waits or works
; byte by byte takes in what the line brings (RXPOLL), so that the line never waits for the chip;
; the host sends a frame once the one two before it is answered, so that at most one comes in
; while another is programmed.
;
; A frame (little-endian):
;   +0 seq, +1 kind (0 end, 1 plain bytes, 2 LZ4 block), +2 window pointer (4000h + address
;   bits 13-0), +4 page (address bits 23-14, for DPP1), +6 packed length, +8 expanded length,
;   +10 CRC-32 of the expanded data, +14 the packed bytes, then the CRC-32 of all before it.
; Every answer is four bytes: status, seq, and both complemented, so that the host can tell an
; answer the line garbled from one the loader gave:
;   'R' ready (after the start, or after a bad frame once the line has gone quiet); the host
;       sends again whatever it sent after the answer before
;   'N' the frame's CRC-32 failed, or its length cannot be; nothing of it was programmed
;   'K' programmed, and the flash now holds data of the CRC-32 the frame named
;   'D' programmed, but the flash holds other data (a cell that cannot go from 0 to 1)
;   'F' the chip reported a failed cell; two more bytes name its window pointer; back to the
;       monitor (once the line is quiet), since only a reset brings the chip back
;   'E' end frame taken: back to the monitor
; A frame whose seq the loader has just done is answered again, not programmed again: its
; answer may have been lost on the line.
;
; The flash is programmed as the flash algorithm does it, with its parameters: R4 flags (bit 0
; word cells, bit 4 poll the high byte too), R5-R7 the command data, R8 and R9 the command
; cells (through DPP0 and DPP2). Back-references of the LZ4 blocks read the flash with EXTS, so
; they reach into pages before the frame's. In word mode the even byte waits in RAM until its
; odd partner comes, and the host keeps match offsets at 2 or more, so that no match reads a
; byte that is not yet in the flash.
;
; Registers: R0 data and answers, R1 the cell (DPP1 window), R2 polls and CRC pointer, R3 the
; packed bytes, R10-R11 a match's long address, R12 end or count, R13-R15 scratch.

        .org 306                ; image offset: the entry of monitor command 0x0E
        .equ BUF, 0F600h
        .equ HDR_SEQ, 0F600h
        .equ HDR_KIND, 0F601h
        .equ HDR_POINTER, 0F602h
        .equ HDR_PAGE, 0F604h
        .equ HDR_PACKED, 0F606h
        .equ HDR_EXPANDED, 0F608h
        .equ HDR_CRCLO, 0F60Ah
        .equ HDR_CRCHI, 0F60Ch
        .equ HEADER, 14
        .equ PACKED_MAX, 430    ; header, bytes and CRC fill 448
        .equ RXBUF, 0F7C0h
        .equ RX_PACKED, 0F7C6h
        .equ RXEND, 0F980h
        .equ RESIDUE_LO, 0DF1Ch ; the CRC-32 of any bytes followed by their own CRC-32
        .equ RESIDUE_HI, 2144h
        .equ TA, 0F980h
        .equ TB, 0F9C0h
        .equ V_QUIET, 0FDF0h    ; two words, lowest first
        .equ V_LAST, 0FDF4h
        .equ V_LASTSEQ, 0FDF5h
        .equ V_PEND, 0FDF6h
        .equ V_SP, 0FDF8h
        .equ V_RXP, 0FDFAh      ; where the next byte from the line goes
        .export ENTRY
        .export LOADER_END

ENTRY:  MOV V_SP, SP
        MOV R0, #0
        MOV V_LAST, R0
READY:  MOV R13, #RXBUF
        MOV V_RXP, R13
        MOV R0, #52h
        CALLR ANSWER
; Waits until a whole frame is in: its length is known once its header is. It looks before it
; takes in more, since the byte after a frame is the next frame's.
NEXT:   MOV R13, V_RXP
        CMP R13, #RXBUF + HEADER
        JMPR cc_NC, NEXT0
        CALLR RXPOLL
        JMPR cc_UC, NEXT
NEXT0:  MOV R12, RX_PACKED
        CMP R12, #PACKED_MAX
        JMPR cc_UGT, REJECT
        ADD R12, #RXBUF + HEADER + 4
NEXT1:  CMP R13, R12
        JMPR cc_NC, TAKE
        CALLR RXPOLL
        MOV R13, V_RXP
        JMPR cc_UC, NEXT1
; Nothing of the next frame can be in yet (its byte would wait in S0RBUF), so it starts at RXBUF
; again, while this one moves out ahead of it word by word.
TAKE:   MOV R13, #RXBUF
        MOV V_RXP, R13
        MOV R2, #BUF
TAKE1:  MOV [R2], [R13+]
        ADD R2, #2
        CALLR RXPOLL
        CMP R13, R12
        JMPR cc_C, TAKE1
        MOV R2, #BUF
        SUB R12, #RXBUF
        CALLR CRCN
        CMP R0, #RESIDUE_LO
        JMPR cc_NZ, REJECT
        CMP R3, #RESIDUE_HI
        JMPR cc_NZ, REJECT
        MOVB RL0, HDR_SEQ
        CMPB RL0, V_LASTSEQ
        JMPR cc_Z, AGAIN
        MOVB RL0, HDR_KIND
        CMPB RL0, #0
        JMPR cc_Z, FINISH
        MOV DPP1, HDR_PAGE
        MOV R1, HDR_POINTER
        MOV R3, #BUF + HEADER
        MOV R12, HDR_PACKED
        ADD R12, R3
        CALLR DECODE
        MOV R2, HDR_POINTER
        MOV R12, HDR_EXPANDED
        CALLR CRCN
        CMP R0, HDR_CRCLO
        JMPR cc_NZ, DIFFER
        CMP R3, HDR_CRCHI
        JMPR cc_NZ, DIFFER
        MOVB RL0, #4Bh
        JMPR cc_UC, DONE
DIFFER: MOVB RL0, #44h
DONE:   MOVB RH0, HDR_SEQ
        MOV V_LAST, R0
AGAIN:  MOV R0, V_LAST
        CALLR ANSWER
        JMPR cc_UC, NEXT

; A frame that cannot be right: what is left of it is let go, and the host told when the line
; is quiet enough for it to send the frame again.
REJECT: MOV R0, #4Eh
        CALLR ANSWER
        CALLR DRAIN
        JMPR cc_UC, READY

FINISH: MOVB RL0, #45h
        MOVB RH0, HDR_SEQ
        CALLR ANSWER
        MOV SP, V_SP
        NOP
        RET

; Sends RL0 (status) and RH0 (seq), then both complemented.
ANSWER: MOV R15, R0
        CALLR TXW
        MOV R0, R15
        CPL R0
; Sends RL0, then RH0.
TXW:    CALLR TXB
        MOVB RL0, RH0
; What comes in meanwhile is taken in, but nothing once the byte is out: after the last byte of
; 'E' or 'F', what the host sends is the monitor's.
TXB:    BCLR S0TIC.7
        MOVB S0TBUF, RL0
TXB1:   JB S0TIC.7, RXP9
        CALLR RXPOLL
        JMPR cc_UC, TXB1

; Returns once no byte has come for V_QUIET turns of the loop (R12 and R13: lowest first).
DRAIN:  MOV R12, V_QUIET
        MOV R13, V_QUIET + 2
DRAIN1: JB S0RIC.7, DRAIN2
        SUB R12, #1
        SUBC R13, #0
        JMPR cc_NZ, DRAIN1
        RET
DRAIN2: BCLR S0RIC.7
        JMPR cc_UC, DRAIN

; Takes the byte that has come in, if one has, into the receive buffer; the buffer's end drops
; what a garbled line adds.
RXPOLL: JNB S0RIC.7, RXP9
        PUSH R13
        MOV R13, V_RXP
        CMP R13, #RXEND
        JMPR cc_NC, RXP8
        MOVB [R13], S0RBUF
        ADD R13, #1
        MOV V_RXP, R13
RXP8:   BCLR S0RIC.7
        POP R13
RXP9:   RET

; A cell that failed: the chip stays in its error state until it is reset, which the monitor's
; host does. The rest of a frame on its way is let go first, so that it reaches no monitor.
FAIL:   MOV SP, V_SP
        NOP
        CALLR DRAIN
        MOVB RL0, #46h
        MOVB RH0, HDR_SEQ
        CALLR ANSWER
        MOV R0, R1
        CALLR TXW
        RET

; The CRC-32 of R12 bytes from [R2] (R2 ends behind them) into R3:R0; R10, R11, R13 scratch.
; Two 16-entry tables instead of one of 256, as in the CRC routine: TA[x AND 0Fh] XOR TB[x SHR 4].
CRCN:   MOV R0, #0FFFFh
        MOV R3, R0
CRC1:   CALLR RXPOLL
        XORB RL0, [R2+]
        MOVBZ R10, RL0
        MOV R11, R10
        SHL R10, #12
        SHR R10, #10
        SHR R11, #4
        SHL R11, #2
        MOVB RL0, RH0
        MOVB RH0, RL3
        MOVB RL3, RH3
        MOVB RH3, #0
        MOV R13, [R10+#TA]
        XOR R0, R13
        MOV R13, [R10+#TA + 2]
        XOR R3, R13
        MOV R13, [R11+#TB]
        XOR R0, R13
        MOV R13, [R11+#TB + 2]
        XOR R3, R13
        CMPD1 R12, #1
        JMPR cc_NZ, CRC1
        CPL R0
        CPL R3
        RET

; The frame's bytes from [R3] up to R12, kind RL0 (1 plain, 2 LZ4), into the flash.
DECODE: CMPB RL0, #1
        JMPR cc_NZ, LZ4
COPY:   CMP R3, R12
        JMPR cc_NC, COPY9
        MOVB RL0, [R3+]
        CALLR PUT
        JMPR cc_UC, COPY
COPY9:  RET

; An LZ4 block: sequences of a token (literal count, match length - 4), the literals, and a
; match (offset, 2 bytes); counts of 15 go on in bytes while they are 255.
LZ4:    CMP R3, R12
        JMPR cc_NC, LZ49
        MOVB RL0, [R3+]
        MOVBZ R15, RL0
        MOV R14, R15
        SHR R14, #4
        CMP R14, #15
        JMPR cc_NZ, LZ41
        CALLR LONGER
LZ41:   CMP R14, #0
        JMPR cc_Z, LZ43
LZ42:   MOVB RL0, [R3+]
        CALLR PUT
        SUB R14, #1
        JMPR cc_NZ, LZ42
LZ43:   CMP R3, R12
        JMPR cc_NC, LZ49
        MOVB RL0, [R3+]
        MOVB RH0, [R3+]
        MOV R10, R0
        AND R15, #000Fh
        MOV R14, R15
        CMP R14, #15
        JMPR cc_NZ, LZ44
        CALLR LONGER
; R11:R10 = the long address R10 bytes before the cell R1 stands for.
LZ44:   ADD R14, #4
        MOV R11, HDR_PAGE
        MOV R13, R11
        SHL R13, #14
        SHR R11, #2
        MOV R2, R1
        AND R2, #3FFFh
        OR R13, R2
        SUB R13, R10
        SUBC R11, #0
        MOV R10, R13
LZ45:   EXTS R11, #1
        MOVB RL0, [R10]
        CALLR PUT
        ADD R10, #1
        ADDC R11, #0
        SUB R14, #1
        JMPR cc_NZ, LZ45
        JMPR cc_UC, LZ4
LZ49:   RET

; Within reach of what follows.
RXPOLL2: JMPR cc_UC, RXPOLL
FAIL2:  JMPR cc_UC, FAIL

LONGER: CALLR RXPOLL2
        MOVB RL0, [R3+]
        MOVBZ R13, RL0
        ADD R14, R13
        CMP R13, #0FFh
        JMPR cc_Z, LONGER
        RET

; RL0 is the next byte for the cell at R1; R1 moves on. A cell that already holds it is left.
PUT:    CALLR RXPOLL2
        JB R4.0, PUTW
        MOVB RL2, [R1]
        CMPB RL0, RL2
        JMPR cc_Z, PUT9
        MOVB [R8], RL5
        MOVB [R9], RL6
        MOVB [R8], RL7
        MOVB [R1], RL0
        MOV R13, R1
        CALLR POLL
PUT9:   ADD R1, #1
        RET

PUTW:   JB R1.0, PUTW1
        MOVB V_PEND, RL0
        ADD R1, #1
        RET
PUTW1:  MOVB RH0, RL0
        MOVB RL0, V_PEND
        SUB R1, #1
        MOV R2, [R1]
        CMP R0, R2
        JMPR cc_Z, PUTW9
        MOV [R8], R5
        MOV [R9], R6
        MOV [R8], R7
        MOV [R1], R0
        MOV R13, R1
        CALLR POLL
        JNB R4.4, PUTW9
        ADD R13, #1
        MOVB RL0, RH0
        CALLR POLL
PUTW9:  ADD R1, #2
        RET

; Waits until the cell at [R13] reads RL0. DQ5 set while it does not means the chip gave up.
POLL:   CALLR RXPOLL2
        MOVB RL2, [R13]
        CMPB RL2, RL0
        JMPR cc_Z, POLL9
        JNB R2.5, POLL
        MOVB RL2, [R13]
        CMPB RL2, RL0
        JMPR cc_NZ, FAIL2
POLL9:  RET
LOADER_END:
