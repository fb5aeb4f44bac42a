#include "msgwindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <atomic>
#include <map>
#include <mutex>

namespace msgwindow {
namespace {

const QEvent::Type PostedMessageType = static_cast<QEvent::Type>(QEvent::registerEventType());

struct PostedMessage : QEvent {
    PostedMessage(UINT m, WPARAM w, LPARAM l, DeliveryGate g)
        : QEvent(PostedMessageType), Msg(m), WParam(w), LParam(l), Gate(std::move(g)) {}
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    DeliveryGate Gate;
};

class Target final : public QObject {
public:
    Target(HWND hwnd, WNDPROC proc) : Hwnd(hwnd), Proc(proc) {}

    bool event(QEvent* e) override {
        if (e->type() != PostedMessageType) return QObject::event(e);
        auto* m = static_cast<PostedMessage*>(e);
        Pending.fetch_sub(1, std::memory_order_relaxed);
        if (Destroyed) return true;
        if (m->Gate && !m->Gate()) return true;
        // The window procedure may destroy this very window; it is then deleted only after
        // this delivery has returned.
        ++Delivering;
        Proc(Hwnd, m->Msg, m->WParam, m->LParam);
        --Delivering;
        if (Destroyed && Delivering == 0) deleteLater();
        return true;
    }

    const HWND Hwnd;
    const WNDPROC Proc;
    LPARAM Extra = 0;
    std::atomic<int> Pending{0};
    std::string ClassName;
    bool Destroyed = false;  // destroyed while delivering: drops what is still queued
    int Delivering = 0;
};

// One registry for the process: classes by name and live windows by handle. Posting looks the
// window up under the same lock that destruction takes, so a post never reaches a freed target.
struct Registry {
    std::mutex Lock;
    std::map<std::string, WNDPROC> Classes;
    std::map<HWND, Target*> Windows;
    HWND NextHandle = 1;
};

Registry& registry() {
    static Registry r;
    return r;
}

Target* find(Registry& r, HWND window) {
    auto it = r.Windows.find(window);
    return it == r.Windows.end() ? nullptr : it->second;
}

}  // namespace

bool RegisterWindowClass(const std::string& className, WNDPROC proc) {
    auto& r = registry();
    std::lock_guard lock(r.Lock);
    if (!proc || r.Classes.count(className)) return false;
    r.Classes.emplace(className, proc);
    return true;
}

bool UnregisterWindowClass(const std::string& className) {
    auto& r = registry();
    std::lock_guard lock(r.Lock);
    for (auto& [hwnd, target] : r.Windows)
        if (target->ClassName == className) return false;
    return r.Classes.erase(className) == 1;
}

bool IsWindowClassRegistered(const std::string& className) {
    auto& r = registry();
    std::lock_guard lock(r.Lock);
    return r.Classes.count(className) == 1;
}

HWND CreateWindow(const std::string& className) {
    auto& r = registry();
    std::lock_guard lock(r.Lock);
    auto cls = r.Classes.find(className);
    if (cls == r.Classes.end()) return 0;
    HWND hwnd = r.NextHandle++;
    auto* target = new Target(hwnd, cls->second);
    target->ClassName = className;
    r.Windows.emplace(hwnd, target);
    return hwnd;
}

bool DestroyWindow(HWND window) {
    auto& r = registry();
    Target* target;
    {
        std::lock_guard lock(r.Lock);
        target = find(r, window);
        if (!target) return false;
        r.Windows.erase(window);
    }
    // Deleting the QObject removes the events still posted to it.
    target->Destroyed = true;
    if (target->thread() != QThread::currentThread())
        target->deleteLater();
    else if (target->Delivering == 0)
        delete target;
    return true;
}

bool IsWindow(HWND window) {
    auto& r = registry();
    std::lock_guard lock(r.Lock);
    return find(r, window) != nullptr;
}

void SetWindowLongPtr(HWND window, LPARAM value) {
    auto& r = registry();
    std::lock_guard lock(r.Lock);
    if (Target* t = find(r, window)) t->Extra = value;
}

LPARAM GetWindowLongPtr(HWND window) {
    auto& r = registry();
    std::lock_guard lock(r.Lock);
    Target* t = find(r, window);
    return t ? t->Extra : 0;
}

bool PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, DeliveryGate gate) {
    auto& r = registry();
    std::lock_guard lock(r.Lock);
    Target* t = find(r, window);
    if (!t) return false;
    t->Pending.fetch_add(1, std::memory_order_relaxed);
    QCoreApplication::postEvent(t, new PostedMessage(msg, wParam, lParam, std::move(gate)));
    return true;
}

LRESULT SendMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc;
    {
        auto& r = registry();
        std::lock_guard lock(r.Lock);
        Target* t = find(r, window);
        if (!t) return 0;
        proc = t->Proc;
    }
    return proc(window, msg, wParam, lParam);
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

int PendingMessageCount(HWND window) {
    auto& r = registry();
    std::lock_guard lock(r.Lock);
    Target* t = find(r, window);
    return t ? t->Pending.load(std::memory_order_relaxed) : 0;
}

}  // namespace msgwindow
