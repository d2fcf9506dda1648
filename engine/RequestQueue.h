#pragma once
// What a road's clients ask, run on the event loop one at a time, in arrival
// order and one request per turn of the loop, so that bus calls and the window
// take their turns between them; within the bounds every road keeps (Limits),
// and none after a stop signal. The broker road and the web road queue here.
#include "engine/LEDMain.h"
#include "engine/Limits.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>

template <typename Item>
class RequestQueue {
public:
    // run handles one request. It may end the road, and with it owner and this
    // queue (a stop signal seen inside a script): nothing here is touched after.
    RequestQueue(QObject* owner, std::function<void(Item&)> run) : owner_(owner), run_(std::move(run)) {}

    // Queues item, which holds bytes of the queue's bound. False, and nothing
    // queued, when Limits::kMaxQueuedRequests or kMaxQueuedBytes would be passed.
    bool Add(Item item, int64_t bytes)
    {
        if (int64_t(items_.size()) >= Limits::kMaxQueuedRequests || bytes_ + bytes > Limits::kMaxQueuedBytes)
            return false;
        bytes_ += bytes;
        items_.push_back(Entry{std::move(item), bytes});
        Schedule();
        return true;
    }
    // Requests waiting now.
    int64_t Size() const { return int64_t(items_.size()); }

private:
    void Schedule()
    {
        if (scheduled_)
            return;
        scheduled_ = true;
        QTimer::singleShot(0, owner_, [this] {
            scheduled_ = false;
            RunOne();
        });
    }

    void RunOne()
    {
        if (busy_ || items_.empty())
            return;
        Entry e = std::move(items_.front());
        items_.pop_front();
        bytes_ -= e.bytes;
        busy_ = true;
        const QPointer<QObject> alive(owner_);
        // A request queued behind a stop signal is not run: the signal ends the program and the road.
        LEDMain::EndIfStopped();
        if (!alive)
            return;
        run_(e.item);
        if (!alive)
            return;
        busy_ = false;
        LEDMain::EndIfStopped();
        if (alive && !items_.empty())
            Schedule();
    }

    struct Entry {
        Item item;
        int64_t bytes;
    };
    QObject* owner_;
    std::function<void(Item&)> run_;
    std::deque<Entry> items_;
    int64_t bytes_ = 0;
    bool busy_ = false;
    bool scheduled_ = false;
};
