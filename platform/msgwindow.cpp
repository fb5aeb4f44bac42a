#include "msgwindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <deque>
#include <map>
#include <mutex>

namespace msgwindow {
namespace {

const QEvent::Type DrainEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

struct Message {
    HWND Window;
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    DeliveryGate Gate;
    std::uint64_t Seq;
};

// The messages of one thread's windows, in posting order. One event posted to the queue's
// object drains everything that was queued when the drain began; what handlers post meanwhile
// waits for the next wake-up, so a handler that keeps posting never starves timers and input.
class Queue final : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() != DrainEventType) return QObject::event(e);
        Drain();
        return true;
    }
    void Drain();

    // All fields are under the registry's lock.
    std::deque<Message> Messages;
    std::uint64_t NextSeq = 0;
    bool WakePosted = false;
    int Windows = 0;    // live windows of this thread
    int Draining = 0;   // drains on the stack (a handler may run a nested event loop)
    bool Orphaned = false;  // its last window is gone: deleted once no drain is on the stack
};

struct Window {
    WNDPROC Proc;
    std::string ClassName;
    Queue* Owner;
    LPARAM Extra = 0;
    int Pending = 0;
};

// One registry for the process: classes by name, live windows by handle, and the queue of each
// thread that has windows. Posting and destruction take the same lock, so a post never reaches
// a freed queue.
struct Registry {
    std::mutex Lock;
    std::map<std::string, WNDPROC> Classes;
    std::map<HWND, Window> Windows;
    std::map<QThread*, Queue*> Queues;
    HWND NextHandle = 1;
};

Registry& registry() {
    static Registry r;
    return r;
}

Window* find(Registry& r, HWND window) {
    auto it = r.Windows.find(window);
    return it == r.Windows.end() ? nullptr : &it->second;
}

// The nesting of PostBatch scopes on this thread.
thread_local int BatchDepth = 0;

// Under the registry's lock: makes sure a drain of Q is on its way.
void wake(Queue* q) {
    if (q->WakePosted || q->Messages.empty()) return;
    q->WakePosted = true;
    QCoreApplication::postEvent(q, new QEvent(DrainEventType));
}

void Queue::Drain() {
    auto& r = registry();
    std::uint64_t last;
    {
        std::lock_guard lock(r.Lock);
        WakePosted = false;
        if (Messages.empty()) return;
        last = Messages.back().Seq;
        ++Draining;
    }
    // However the drain ends (a handler may throw), what is left gets a wake-up of its own,
    // and a queue whose last window went meanwhile is freed.
    struct TLeave {
        Queue* Q;
        Registry& R;
        ~TLeave() {
            bool free;
            {
                std::lock_guard lock(R.Lock);
                free = --Q->Draining == 0 && Q->Orphaned;
                if (!Q->Orphaned) wake(Q);
            }
            if (free) delete Q;
        }
    } leave{this, r};
    for (;;) {
        Message m;
        WNDPROC proc;
        {
            std::lock_guard lock(r.Lock);
            if (Orphaned || Messages.empty() || Messages.front().Seq > last) return;
            m = std::move(Messages.front());
            Messages.pop_front();
            Window* w = find(r, m.Window);
            if (!w) continue;  // destroyed: what was posted to it is dropped
            --w->Pending;
            proc = w->Proc;
        }
        if (m.Gate && !m.Gate(Delivery::Starting)) continue;
        struct TDone {
            DeliveryGate& Gate;
            ~TDone() {
                if (Gate) Gate(Delivery::Done);
            }
        } done{m.Gate};
        proc(m.Window, m.Msg, m.WParam, m.LParam);
    }
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
    for (auto& [hwnd, w] : r.Windows)
        if (w.ClassName == className) return false;
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
    Queue*& q = r.Queues[QThread::currentThread()];
    if (!q) q = new Queue;  // lives in this thread
    ++q->Windows;
    const HWND hwnd = r.NextHandle++;
    r.Windows.emplace(hwnd, Window{cls->second, className, q});
    return hwnd;
}

bool DestroyWindow(HWND window) {
    auto& r = registry();
    Queue* freed = nullptr;
    {
        std::lock_guard lock(r.Lock);
        Window* w = find(r, window);
        if (!w) return false;
        Queue* q = w->Owner;
        r.Windows.erase(window);
        if (--q->Windows > 0) return true;
        // The thread's last window: its queue holds nothing anybody can receive.
        r.Queues.erase(q->thread());
        q->Messages.clear();
        q->Orphaned = true;
        if (q->Draining == 0) freed = q;
    }
    if (freed) {
        // Deleting the object also removes its wake-up event, if one is still posted.
        if (freed->thread() == QThread::currentThread())
            delete freed;
        else
            freed->deleteLater();
    }
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
    if (Window* w = find(r, window)) w->Extra = value;
}

LPARAM GetWindowLongPtr(HWND window) {
    auto& r = registry();
    std::lock_guard lock(r.Lock);
    Window* w = find(r, window);
    return w ? w->Extra : 0;
}

bool PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, DeliveryGate gate) {
    auto& r = registry();
    std::lock_guard lock(r.Lock);
    Window* w = find(r, window);
    if (!w) return false;
    Queue* q = w->Owner;
    ++w->Pending;
    q->Messages.push_back({window, msg, wParam, lParam, std::move(gate), q->NextSeq++});
    // Inside a batch of the queue's own thread the batch delivers; no wake-up is needed.
    if (!(BatchDepth > 0 && q->thread() == QThread::currentThread())) wake(q);
    return true;
}

LRESULT SendMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc;
    {
        auto& r = registry();
        std::lock_guard lock(r.Lock);
        Window* w = find(r, window);
        if (!w) return 0;
        proc = w->Proc;
    }
    return proc(window, msg, wParam, lParam);
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

PostBatch::PostBatch() { ++BatchDepth; }

PostBatch::~PostBatch() {
    if (--BatchDepth > 0) return;
    auto& r = registry();
    std::lock_guard lock(r.Lock);
    auto it = r.Queues.find(QThread::currentThread());
    if (it != r.Queues.end()) wake(it->second);
}

int PendingMessageCount(HWND window) {
    auto& r = registry();
    std::lock_guard lock(r.Lock);
    Window* w = find(r, window);
    return w ? w->Pending : 0;
}

}  // namespace msgwindow
