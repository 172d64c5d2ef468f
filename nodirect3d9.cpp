// Linked into the launcher's program only, with --wrap=Direct3DCreate9 (see
// cmake/windows-graphics-imports.cmake).
//
// Qt's Windows platform asks Direct3D 9 for the graphics adapter as it creates each
// top-level window, only to place an OpenGL window, which the launcher never shows. The
// wrap brings that call here: null is what Qt gets on a computer without Direct3D 9, so it
// places the window as any other, and d3d9.dll is neither imported nor loaded.

#include <windows.h>

struct IDirect3D9;

extern "C" IDirect3D9 *WINAPI __wrap_Direct3DCreate9(UINT)
{
    return nullptr;
}
