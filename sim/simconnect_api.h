// The simulator's client library, for every file that uses it: include this, never <SimConnect.h>.
//
// The SDK's SimConnect.h includes nothing: it uses DWORD, HANDLE, HRESULT, HWND, LPCSTR, BOOL,
// GUID, MAX_PATH and CALLBACK as the includer left them. On Windows they come from <windows.h>,
// after <winsock2.h> so that <windows.h> does not pull in the old <winsock.h> that clashes with it.
// Elsewhere the stand-in header declares its own.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#endif

#include <SimConnect.h>
