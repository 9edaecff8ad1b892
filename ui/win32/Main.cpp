#include "ui/win32/VantorelleUpdateApp.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int)
{
    vu::theApp.InitInstance(hInstance);
    return 0;
}
