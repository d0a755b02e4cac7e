// The environment variables a parent publishes for the application: shared by the ordinary run,
// which publishes them for its child, and the cached run, which publishes them for itself.
#pragma once

// Parent only: removes the start, time and random values (in that order) that another launcher
// may have left in the environment, and publishes this process's id as the parent id.
void prepare_parent_environment();

// Parent only, after extraction: publishes the directory of the launcher's executable (plain
// form, not resolved) and argument 0 as the user gave it.
void publish_directory_variables();
