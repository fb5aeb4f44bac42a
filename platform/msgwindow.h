#pragma once
// Message targets ("hidden windows"): a window belongs to the thread that created it, and
// messages posted to it from any thread are delivered there, in posting order, to the window
// procedure of its class. The messages of one thread's windows wait in one in-process queue,
// which one wake-up of the Qt event loop drains. Destroying a window drops what is pending.
#include <cstdint>
#include <functional>
#include <string>

namespace msgwindow {

using HWND = std::uintptr_t;     // 0 is "no window"; handles are never reused
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

constexpr UINT WM_USER = 0x400;

// Called on the window's thread around the delivery of a message: with Starting just before
// the window procedure (returning false drops the message), with Done once it has returned,
// also when it threw or destroyed the window.
enum class Delivery { Starting, Done };
using DeliveryGate = std::function<bool(Delivery)>;

bool RegisterWindowClass(const std::string& className, WNDPROC proc);  // false if it exists
bool UnregisterWindowClass(const std::string& className);  // false if unknown or still in use
bool IsWindowClassRegistered(const std::string& className);

HWND CreateWindow(const std::string& className);  // 0 when the class is not registered
bool DestroyWindow(HWND window);  // on the window's own thread
bool IsWindow(HWND window);

// The window's one pointer-sized slot of extra bytes (index 0).
void SetWindowLongPtr(HWND window, LPARAM value);
LPARAM GetWindowLongPtr(HWND window);

bool PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, DeliveryGate gate = {});
LRESULT SendMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);  // direct call
LRESULT DefWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

// While one lives, messages posted to the windows of its thread wait without waking the event
// loop; when the outermost one ends, one wake-up is posted for all of them. For a caller that
// posts several messages at once (the socket readiness watcher). They are still delivered by
// the event loop, in their turn with timers and input.
class PostBatch {
public:
    PostBatch();
    ~PostBatch();
    PostBatch(const PostBatch&) = delete;
    PostBatch& operator=(const PostBatch&) = delete;
};

// Number of messages posted to a window and not delivered yet (for tests).
int PendingMessageCount(HWND window);

}  // namespace msgwindow
