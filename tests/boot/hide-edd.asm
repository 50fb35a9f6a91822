; Test shim for sector 0 of a disk image: makes the BIOS look like one
; without the INT 13h extensions, so the boot programs take their CHS paths.
;
; It takes 1 KiB off the top of conventional memory, moves itself there,
; reads sector 1 (the master boot record under test) to 0000:7C00 with the
; BIOS's own CHS service, hooks INT 13h so that functions 41h and 42h fail
; as on a BIOS that lacks them, and starts that sector with DL unchanged.

        cpu     386
        bits    16
        org     0

BOOT_SECTOR     equ 0x7C00
MEMORY_SIZE     equ 0x413               ; BIOS data area: conventional memory in KiB
INT13_VECTOR    equ 0x13 * 4

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, BOOT_SECTOR
        mov     ds, ax
        sti
        cld
        dec     word [MEMORY_SIZE]
        mov     ax, [MEMORY_SIZE]
        shl     ax, 6                   ; KiB to paragraphs
        mov     es, ax
        mov     si, BOOT_SECTOR
        xor     di, di
        mov     cx, 512
        rep movsb
        push    es
        push    word moved
        retf

moved:
        xor     ax, ax
        mov     es, ax
        mov     bx, BOOT_SECTOR
        mov     ax, 0x0201
        mov     cx, 0x0002              ; cylinder 0, sector 2
        xor     dh, dh
        int     0x13
        jc      $
        mov     eax, [INT13_VECTOR]
        mov     [cs:old_int13], eax
        mov     word [INT13_VECTOR], int13
        mov     [INT13_VECTOR + 2], cs
        jmp     0:BOOT_SECTOR

int13:
        cmp     ah, 0x41
        je      .refuse
        cmp     ah, 0x42
        je      .refuse
        jmp     far [cs:old_int13]
.refuse:
        mov     ah, 0x01                ; invalid function
        stc
        retf    2

old_int13:      dd 0

        times 446 - ($ - $$) db 0
