// corvel/runtime.h: the native runtime shared by corvel's extension modules
#pragma once

#include "class_builder.h"
#include "errors.h"
#include "function.h"
#include "generator.h"
#include "module.h"
#include "ops.h"
#include "task.h"
