/* A sound resource section that is not loaded with the program (no "a" flag): its bytes are in
   the file but nowhere in the running image. */
__asm__(
    "  .pushsection .torv2_rsrc, \"\"\n"
    "  .balign 16\n"
    ".Ldirectory:\n"
    "  .ascii \"TORV2RSC\"\n"
    "  .4byte 1, 2\n"
    "  .4byte 720, 10\n"
    "  .8byte .Ldata - .Ldirectory, .Lend - .Ldata\n"
    "  .4byte 730, 10\n"
    "  .8byte .Ldata - .Ldirectory, .Lend - .Ldata\n"
    ".Ldata:\n"
    "  .ascii \"MainExe - TORV2 Execute V02.08\"\n"
    ".Lend:\n"
    "  .popsection\n");
