// SPDX-License-Identifier: GPL-3.0-or-later
// The MCI error codes the wave-audio device returns, and the Japanese texts
// of mciGetErrorStringA.
#pragma once

#include "platform/winapi.h"

#include <cstdint>

namespace platform {

// The Windows MCI error codes that the device, its parser or its backend
// return, with their Windows values.  The text table (mci_messages.cpp) also
// knows the other codes of the Windows range.
constexpr MCIERROR MCIERR_BASE = 256;
constexpr MCIERROR MCIERR_UNRECOGNIZED_KEYWORD = MCIERR_BASE + 3;
constexpr MCIERROR MCIERR_UNRECOGNIZED_COMMAND = MCIERR_BASE + 5;
constexpr MCIERROR MCIERR_INVALID_DEVICE_NAME = MCIERR_BASE + 7;
constexpr MCIERROR MCIERR_OUT_OF_MEMORY = MCIERR_BASE + 8;
constexpr MCIERROR MCIERR_DEVICE_OPEN = MCIERR_BASE + 9;
constexpr MCIERROR MCIERR_CANNOT_LOAD_DRIVER = MCIERR_BASE + 10;
constexpr MCIERROR MCIERR_MISSING_COMMAND_STRING = MCIERR_BASE + 11;
constexpr MCIERROR MCIERR_PARAM_OVERFLOW = MCIERR_BASE + 12;
constexpr MCIERROR MCIERR_BAD_INTEGER = MCIERR_BASE + 14;
constexpr MCIERROR MCIERR_MISSING_PARAMETER = MCIERR_BASE + 17;
constexpr MCIERROR MCIERR_UNSUPPORTED_FUNCTION = MCIERR_BASE + 18;
constexpr MCIERROR MCIERR_FILE_NOT_FOUND = MCIERR_BASE + 19;
constexpr MCIERROR MCIERR_INTERNAL = MCIERR_BASE + 21;
constexpr MCIERROR MCIERR_CANNOT_USE_ALL = MCIERR_BASE + 23;
constexpr MCIERROR MCIERR_EXTENSION_NOT_FOUND = MCIERR_BASE + 25;
constexpr MCIERROR MCIERR_OUTOFRANGE = MCIERR_BASE + 26;
constexpr MCIERROR MCIERR_FLAGS_NOT_COMPATIBLE = MCIERR_BASE + 28;
constexpr MCIERROR MCIERR_FILE_NOT_SAVED = MCIERR_BASE + 30;
constexpr MCIERROR MCIERR_DEVICE_TYPE_REQUIRED = MCIERR_BASE + 31;
constexpr MCIERROR MCIERR_DUPLICATE_ALIAS = MCIERR_BASE + 33;
constexpr MCIERROR MCIERR_MISSING_DEVICE_NAME = MCIERR_BASE + 36;
constexpr MCIERROR MCIERR_NO_CLOSING_QUOTE = MCIERR_BASE + 38;
constexpr MCIERROR MCIERR_DUPLICATE_FLAGS = MCIERR_BASE + 39;
constexpr MCIERROR MCIERR_INVALID_FILE = MCIERR_BASE + 40;
constexpr MCIERROR MCIERR_NULL_PARAMETER_BLOCK = MCIERR_BASE + 41;
constexpr MCIERROR MCIERR_NEW_REQUIRES_ALIAS = MCIERR_BASE + 43;
constexpr MCIERROR MCIERR_FILENAME_REQUIRED = MCIERR_BASE + 48;
constexpr MCIERROR MCIERR_EXTRA_CHARACTERS = MCIERR_BASE + 49;
constexpr MCIERROR MCIERR_WAVE_INPUTSINUSE = MCIERR_BASE + 66;
constexpr MCIERROR MCIERR_FILE_READ = MCIERR_BASE + 92;
constexpr MCIERROR MCIERR_FILE_WRITE = MCIERR_BASE + 93;

}  // namespace platform

namespace platform::mci {

// Any thread: the texts are constant.
// The Japanese text of an MCI error code ("" never: unknown codes get a
// generic text).  known is set to whether the code is a Windows MCI code or 0.
const char* errorText(MCIERROR code, bool* known = nullptr);
// mciGetErrorStringA: copies the text into text[0..length), truncated on a
// character boundary and always NUL-terminated.  TRUE for a known code;
// FALSE for an unknown one (the generic text is still copied) or when there
// is no buffer.
BOOL errorString(MCIERROR code, char* text, uint32_t length);

}  // namespace platform::mci
