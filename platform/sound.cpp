#include "sound.h"

#include <canberra.h>

#include <QLibrary>

#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <strings.h>
#include <thread>
#include <type_traits>

namespace {

// Every sound is played under this one id, so cancelling it cuts off whatever still plays.
constexpr uint32_t SoundId = 1;

// The sound library is loaded when the first sound plays, not with the program: with what it
// pulls in (decoders, its cache) it is a good part of the libraries a start would load, and
// most sessions play no sound. Without it the program stays silent.
struct TCanberra {
    decltype(&ca_context_create) Create = nullptr;
    decltype(&ca_context_change_props) ChangeProps = nullptr;
    decltype(&ca_context_open) Open = nullptr;
    decltype(&ca_context_destroy) Destroy = nullptr;
    decltype(&ca_context_cancel) Cancel = nullptr;
    decltype(&ca_context_play) Play = nullptr;

    bool Load() {
        QLibrary library(QStringLiteral("canberra"), 0);
        if (!library.load()) return false;  // stays loaded for the rest of the run
        const auto bind = [&](auto& Entry, const char* Name) {
            Entry = reinterpret_cast<std::remove_reference_t<decltype(Entry)>>(library.resolve(Name));
            return Entry != nullptr;
        };
        return bind(Create, "ca_context_create") && bind(ChangeProps, "ca_context_change_props") &&
               bind(Open, "ca_context_open") && bind(Destroy, "ca_context_destroy") &&
               bind(Cancel, "ca_context_cancel") && bind(Play, "ca_context_play");
    }
};

// The sound system is driven from a thread of its own: opening the context may mean talking to
// a sound server that is slow or absent, and the GUI thread must never wait for that. Only the
// latest request matters (a new sound cuts off the previous one anyway), so requests that pile
// up while the thread is busy collapse into the last of them.
class TSoundPlayer {
public:
    static TSoundPlayer& Instance() {
        static TSoundPlayer player;
        return player;
    }

    void Play(const std::string& name) {
        std::lock_guard lock(Mutex);
        Pending = name;
        if (!Thread.joinable()) Thread = std::thread([this] { Run(); });
        Wake.notify_one();
    }

    // At exit a request already made is still handed over before the context goes, so a sound
    // requested just before is started and then cut off rather than lost halfway through setup.
    ~TSoundPlayer() {
        {
            std::lock_guard lock(Mutex);
            Stopping = true;
        }
        Wake.notify_one();
        if (Thread.joinable()) Thread.join();
    }

private:
    TSoundPlayer() = default;

    void Run() {
        ca_context* context = nullptr;
        bool unavailable = false;
        for (;;) {
            std::string name;
            {
                std::unique_lock lock(Mutex);
                Wake.wait(lock, [this] { return Pending || Stopping; });
                if (!Pending) break;
                name = std::move(*Pending);
                Pending.reset();
            }
            // The context is made once; where there is no sound system the program stays silent
            // for the rest of its run rather than retrying on every line.
            if (!context && !unavailable) unavailable = !Open(context);
            if (context) PlayOn(context, name);
        }
        if (context) Ca.Destroy(context);
    }

    bool Open(ca_context*& context) {
        if (!Ca.Load() || Ca.Create(&context) != CA_SUCCESS) {
            context = nullptr;
            return false;
        }
        Ca.ChangeProps(context, CA_PROP_APPLICATION_NAME, "KorvelChat 2", CA_PROP_APPLICATION_ID, "korvelchat2", nullptr);
        if (Ca.Open(context) != CA_SUCCESS) {
            Ca.Destroy(context);
            context = nullptr;
            return false;
        }
        return true;
    }

    void PlayOn(ca_context* context, const std::string& name) {
        Ca.Cancel(context, SoundId);
        if (name.empty()) return;  // an empty name only stops the sound that plays
        // "SYSTEMSTART" is the sound the desktop plays when a session starts; its freedesktop
        // name is "desktop-login". The freedesktop theme itself ships no such sound, only
        // "service-login", which is what most desktops without a theme of their own then play.
        // Sound aliases are matched without regard to case.
        if (strcasecmp(name.c_str(), "SYSTEMSTART") == 0) {
            for (const char* event : {"desktop-login", "service-login"})
                if (Ca.Play(context, SoundId, CA_PROP_EVENT_ID, event,
                                    CA_PROP_EVENT_DESCRIPTION, "New chat line", nullptr) !=
                    CA_ERROR_NOTFOUND)
                    break;
        } else {
            Ca.Play(context, SoundId, CA_PROP_MEDIA_FILENAME, name.c_str(), nullptr);
        }
    }

    TCanberra Ca;  // only the player's thread uses it
    std::mutex Mutex;
    std::condition_variable Wake;
    std::optional<std::string> Pending;
    bool Stopping = false;
    std::thread Thread;
};

std::mutex SinkMutex;
std::function<void(const std::string&)> Sink;

}  // namespace

void PlaySystemSound(const std::string& Name) {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard lock(SinkMutex);
        sink = Sink;
    }
    if (sink) {
        sink(Name);
        return;
    }
    TSoundPlayer::Instance().Play(Name);
}

void SetSoundSink(std::function<void(const std::string& Name)> Sink_) {
    std::lock_guard lock(SinkMutex);
    Sink = std::move(Sink_);
}
