; A stand-in IO.SYS for the boot tests, SECTORS sectors long:
;   nasm -f bin -DSECTORS=n -o IO.SYS iosys.asm
; Sector 0 is this code; every later sector k starts with the word k and
; ends with the word k XOR 0xFFFF. The test may cut the file's last sector
; short; only its first word is checked then.
;
; The boot program is to load the whole file at 0070:0000 and enter it with
; DL = the boot drive and SS:BP = its boot sector, whose drive-number field
; holds DL. This program checks all that, reports on the debug console
; (port 0xE9) and ends the machine through the isa-debug-exit device.

        cpu     386
        bits    16
        org     0

%ifndef SECTORS
%define SECTORS 1
%endif

LOAD_SEG        equ 0x0070
DEBUG_PORT      equ 0xE9
EXIT_PORT       equ 0xF4

start:
        mov     ax, cs
        mov     ds, ax
        mov     [drive], dl
        cld
        mov     si, msg_bpb
        cmp     byte [ss:bp], 0xEB      ; the sector's jump
        jne     .fail
        cmp     [ss:bp + 36], dl
        jne     .fail
        cmp     word [ss:bp + 510], 0xAA55
        jne     .fail

        mov     cx, 1
.sector:
        cmp     cx, SECTORS
        jae     .loaded
        mov     ax, cx
        shl     ax, 5
        add     ax, LOAD_SEG
        mov     es, ax
        cmp     [es:0], cx
        jne     .bad_sector
        mov     ax, cx
        inc     ax
        cmp     ax, SECTORS             ; the last sector may be short
        jae     .next
        mov     ax, cx
        not     ax
        cmp     [es:510], ax
        jne     .bad_sector
.next:
        inc     cx
        jmp     .sector

.bad_sector:
        mov     si, msg_damaged
        call    print
        mov     ax, cx
        call    print_decimal
        jmp     .end

.loaded:
        mov     si, msg_loaded
        call    print
        mov     ax, SECTORS
        call    print_decimal
        mov     si, msg_drive
        call    print
        mov     al, [drive]
        call    print_hex
        jmp     .end

.fail:
        call    print
.end:
        mov     al, 10
        out     DEBUG_PORT, al
        mov     al, 0
        out     EXIT_PORT, al
.halt:
        cli
        hlt
        jmp     .halt

; Writes the zero-terminated text at DS:SI to the debug console.
print:
        lodsb
        test    al, al
        jz      .done
        out     DEBUG_PORT, al
        jmp     print
.done:
        ret

; Writes AX in decimal.
print_decimal:
        mov     bx, 10
        xor     cx, cx
.divide:
        xor     dx, dx
        div     bx
        push    dx
        inc     cx
        test    ax, ax
        jnz     .divide
.digit:
        pop     ax
        add     al, '0'
        out     DEBUG_PORT, al
        loop    .digit
        ret

; Writes AL as two hexadecimal digits.
print_hex:
        push    ax
        shr     al, 4
        call    .nibble
        pop     ax
.nibble:
        and     al, 0x0F
        add     al, '0'
        cmp     al, '9'
        jbe     .out
        add     al, 'A' - '9' - 1
.out:
        out     DEBUG_PORT, al
        ret

msg_loaded:     db "IO.SYS loaded: ", 0
msg_drive:      db " sectors, drive ", 0
msg_damaged:    db "IO.SYS damaged at sector ", 0
msg_bpb:        db "IO.SYS: no boot sector at SS:BP", 0
drive:          db 0

        times 512 - ($ - $$) db 0

%assign k 1
%rep SECTORS - 1
        dw      k
        times 508 db 0xA5
        dw      k ^ 0xFFFF
%assign k k + 1
%endrep
