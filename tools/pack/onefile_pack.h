// Everything onefile_pack_lib offers, for programs and tests that drive the packer in-process.
#pragma once

#include "app_tree.h"
#include "attached_reader.h"
#include "attached_writer.h"
#include "cli.h"
#include "errors.h"
#include "exec_app.h"
#include "file_table.h"
#include "executable.h"
#include "image_layout.h"
#include "kit.h"
#include "resources.h"
#include "target.h"
#include "unicode.h"
