/* A resource section laid out like the one the build writes, but the main image's entry runs
   far past the end of the section. The sub image's entry is sound: "sub" (3 bytes). */
__asm__(
    "  .pushsection .torv2_rsrc, \"a\"\n"
    "  .balign 16\n"
    ".Ldirectory:\n"
    "  .ascii \"TORV2RSC\"\n"
    "  .4byte 1, 2\n"
    "  .4byte 720, 10\n"
    "  .8byte .Ldata - .Ldirectory, 0x100000\n"
    "  .4byte 730, 10\n"
    "  .8byte .Ldata - .Ldirectory, .Lend - .Ldata\n"
    ".Ldata:\n"
    "  .ascii \"sub\"\n"
    ".Lend:\n"
    "  .popsection\n");
