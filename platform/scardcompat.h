#pragma once

// The smart-card interface the token probe is written against: on Windows the system's WinSCard;
// elsewhere pcsc-lite's declarations of the same calls, completed by the two wide-character calls
// that pcsc-lite lacks (SCardListReadersW, SCardConnectW), which the stand-in of this folder
// implements over the narrow ones.

#include <QtGlobal>

#if defined(Q_OS_WIN)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winscard.h>

#else

#include <reader.h>
#include <winscard.h>

using WCHAR = char16_t;
using LPWSTR = WCHAR *;
using LPCWSTR = const WCHAR *;

// Reader names in UTF-16. Lengths count UTF-16 code units, as on Windows; SCARD_AUTOALLOCATE is
// not taken.
LONG SCardListReadersW(SCARDCONTEXT context, LPCWSTR groups, LPWSTR readers, LPDWORD length);
LONG SCardConnectW(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode, DWORD preferredProtocols,
                   LPSCARDHANDLE card, LPDWORD activeProtocol);

#endif

static_assert(sizeof(WCHAR) == 2, "reader names travel as UTF-16");
