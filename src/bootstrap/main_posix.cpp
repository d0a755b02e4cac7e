// The Linux launcher's entry point.
#include "attached/attached.h"
#include "bootstrap/driver.h"
#include "platform/platform.h"

// The room for the attached data's program header. The packer gives the executable one more
// segment, read-only and loaded, for the attached data; a program header table has no spare
// entries, so the launcher reserves one here: a note in a section of its own, aligned unlike the
// toolchain's notes so that the linker describes it with a program header of its own. The packer
// turns that header (and the section's) into the description of the attached data.
asm(R"(
    .section .note.onefile,"a",@note
    .balign 16
    .long 8, 16, 1
    .asciz "onefile"
    .quad 0, 0
    .previous
)");

int main(int argc, char** argv) {
    platform_start(argc, argv);
    const AttachedBytes bytes = attached_bytes();
    platform_exit(run_launcher(bytes.attached, bytes.attached_size, bytes.extras, bytes.extras_size));
}
