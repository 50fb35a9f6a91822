; Boot program of a FAT16 volume, bytes 62-509 of its boot sector.
; The sector's jump EB 3E 90 enters it at its third byte (offset 64).
%define FAT_BITS 16
%include "fatboot.inc"
