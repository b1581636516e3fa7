// viz/frame/frame.h: everything a module file needs from the shared frame.
#pragma once

#include "binding.h"
#include "call.h"
#include "error.h"
#include "files.h"
#include "function.h"
#include "module.h"
#include "names.h"
#include "progress.h"
#include "ref.h"
