#pragma once
// The library's names that every file of exports writes bare: the exports
// themselves are extern "C" functions at global scope, outside namespace zqk.
#include "api/buffer_return.h"
#include "api/device_lock_pattern.h"
#include "api/export_guard.h"

using zqk::Failure;
using zqk::Library;
using zqk::NoteFailure;
using zqk::OnDefault;
using zqk::OnHandle;
using zqk::ReturnText;
using zqk::TextArg;
using zqk::TzqkDevice;
