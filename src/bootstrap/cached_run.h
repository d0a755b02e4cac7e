// A start of an executable the packer marked for cached extraction: the application runs from its
// entry in the user's cache, in this very process, with no child and nothing to remove afterwards.
#pragma once

#include "payload/cache.h"

// Parent role only. Finds the entry intact, or unpacks it into a private staging directory beside
// it and publishes that with one rename (a start that loses the race to another uses the
// winner's); then runs the application in-process and returns true with its exit status in
// `*status`. False when the cache cannot be used (said once on standard error): the caller then
// unpacks into a temporary directory as usual. When writing into the cache fails midway (a full
// disk), the staging directory is removed and the process ends with what `fallback`, the
// ordinary run, returns.
bool run_cached(int* status, int (*fallback)());

// Removes, from the cache root of `paths`, what other starts of this executable no longer need:
// entries of other versions unused for CACHE_UNUSED_SECONDS, and staging directories whose start
// ended without publishing or removing them. Never this start's own entry, never an entry a live
// process runs from. Reports nothing.
void sweep_cache_root(const CachePaths& paths);
