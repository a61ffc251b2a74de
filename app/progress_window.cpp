#include "app/progress_window.h"

#include <condition_variable>
#include <memory>
#include <mutex>

#include "app/update_worker.h"
#include "diag/message_box.h"
#include "res/resource.h"

namespace {

const char kProgressText[] = "The patcher's update is being unpacked...";
const int kWidth = 500;
const int kHeight = 100;

// The update runs once per process, from whichever comes first: the first
// paint, or the end of RunWindowed for a window that is never painted.
bool g_updateStarted = false;

bool RegisterProgressClass(HINSTANCE instance)
{
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APP_ICON));
    windowClass.hIconSm = windowClass.hIcon;
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kProductName;
    return RegisterClassExA(&windowClass) != 0;
}

void CentreOnDesktop(HWND window)
{
    RECT desktop = {};
    GetWindowRect(GetDesktopWindow(), &desktop);
    // An arithmetic shift: on a desktop narrower than the window the odd
    // half goes toward minus infinity, as the placement has always done.
    const int x = (desktop.right - kWidth) >> 1;
    const int y = (desktop.bottom - kHeight) >> 1;
    SetWindowPos(window, HWND_NOTOPMOST, x, y, kWidth, kHeight, SWP_NOOWNERZORDER);
}

// Runs the update on a worker thread and holds this thread until the worker
// has signalled. False when the worker cannot be started.
//
// Everything that can throw (the lock, the record) comes before the worker
// starts: once it runs, it points into this frame, which must not be left
// before the signal. Holding the lock from the start also means the worker
// cannot signal before the wait has begun.
bool RunUpdateOnWorker()
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    const WorkerRecord signal{&mutex, &done, &finished};
    try {
        std::unique_lock<std::mutex> lock(mutex);
        auto record = std::make_unique<WorkerRecord>(signal);
        HANDLE worker = CreateThread(nullptr, 0, UpdateWorker, record.get(), 0, nullptr);
        if (!worker)
            return false;
        record.release();
        CloseHandle(worker);
        WaitForCompletion(signal, lock);
        PostQuitMessage(0);
        return true;
    } catch (...) {
        return false;
    }
}

void StartUpdateOnce()
{
    if (g_updateStarted)
        return;
    g_updateStarted = true;
    if (!RunUpdateOnWorker()) {
        ShowPlainBox("Call to CreateThread failed!");
        PostQuitMessage(1);
    }
}

void PaintProgressText(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    TextOutA(dc, 5, 5, kProgressText, static_cast<int>(sizeof kProgressText - 1));
    EndPaint(window, &paint);
}

} // namespace

// Windows calls this, and the 32-bit build cannot unwind an exception
// through Windows' own frames: what can throw is caught in RunUpdateOnWorker.
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        PaintProgressText(window);
        StartUpdateOnce();
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int RunWindowed(HINSTANCE instance, int showCommand)
{
    if (!RegisterProgressClass(instance)) {
        ShowPlainBox("Call to RegisterClassEx failed!");
        return 1;
    }
    HWND window = CreateWindowExA(WS_EX_OVERLAPPEDWINDOW, kProductName, kProductName,
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, kWidth,
                                  kHeight, nullptr, nullptr, instance, nullptr);
    if (!window) {
        ShowPlainBox("Call to CreateWindow failed!");
        return 1;
    }
    CentreOnDesktop(window);
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    // A hidden or minimised window gets no first paint to start the update.
    if (!IsWindowVisible(window) || IsIconic(window))
        StartUpdateOnce();

    MSG message = {};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}
