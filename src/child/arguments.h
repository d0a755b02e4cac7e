// The child's arguments: the launcher's own, as the platform splits its command line, with
// argument 0 replaced by the module path. They cross to the platform as a vector; the Windows
// backend joins them into the child's command line.
#pragma once

// Returns the argument vector for the child and its count in `*count`. The vector belongs to the
// process from here on. A command line the system cannot split ends the process before any child
// starts.
wchar_t** build_child_arguments(int* count);
