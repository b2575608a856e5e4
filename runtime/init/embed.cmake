# Writes OUTPUT, a C++ source that holds the program INIT as the bytes from nalto_sim_init_image to
# nalto_sim_init_image_end. The program's digest is part of the text, so that a compiler cache takes a
# changed program for a changed source.
file(SHA256 "${INIT}" digest)
file(WRITE "${OUTPUT}" "// Generated from ${INIT}, sha256 ${digest}.
asm(R\"(
  .section .rodata.nalto_sim_init, \"a\"
  .balign 16
  .globl nalto_sim_init_image
  .hidden nalto_sim_init_image
nalto_sim_init_image:
  .incbin \"${INIT}\"
  .globl nalto_sim_init_image_end
  .hidden nalto_sim_init_image_end
nalto_sim_init_image_end:
  .previous
)\");
")
