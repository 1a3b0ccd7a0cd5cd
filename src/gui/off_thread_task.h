#pragma once

#include <QMetaObject>
#include <QObject>
#include <functional>
#include <thread>
#include <utility>

namespace vela {

// Work that must not block a window: it runs on a thread of its own and its result is
// handed to `done` on the thread of `context` through the event loop; when `context` is
// gone before that call runs, the result is dropped. The task is a member of `context`
// (or lives no longer): destroying it waits for the work to end, with a plain join, so
// `context` still exists whenever the work posts its result. Whoever destroys it asks
// the work to stop first.
class OffThreadTask {
public:
    OffThreadTask() = default;
    ~OffThreadTask() { join(); }
    OffThreadTask(const OffThreadTask&) = delete;
    OffThreadTask& operator=(const OffThreadTask&) = delete;

    template <typename Result>
    void start(QObject* context, std::function<Result()> work, std::function<void(Result)> done) {
        join();
        thread_ = std::thread([context, work = std::move(work), done = std::move(done)]() mutable {
            Result result = work();
            // A queued call whose receiver is deleted before it runs is dropped by Qt.
            QMetaObject::invokeMethod(
                context,
                [done = std::move(done), result = std::move(result)]() mutable {
                    done(std::move(result));
                },
                Qt::QueuedConnection);
        });
    }
    // From the start until join(): the work may still run.
    bool active() const { return thread_.joinable(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

}  // namespace vela
