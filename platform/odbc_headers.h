// The ODBC headers, the one way they enter our code: on Windows they need <windows.h> first.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include <sql.h>
#include <sqlext.h>

namespace fw {

// The text of the ODBC calls. Windows: UTF-16 through the wide calls, because the ANSI calls
// take the ANSI code page, which cannot hold every character (and Windows Server 2016 and 2019
// ignore a UTF-8 code-page manifest). unixODBC: UTF-8 through the ANSI calls, which every
// driver here takes unchanged.
#ifdef _WIN32
inline constexpr bool kOdbcWideText = true;
#else
inline constexpr bool kOdbcWideText = false;
#endif

}  // namespace fw
