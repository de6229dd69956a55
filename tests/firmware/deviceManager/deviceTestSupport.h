#ifndef KVR_TESTS_DEVICE_TEST_SUPPORT_H
#define KVR_TESTS_DEVICE_TEST_SUPPORT_H

// What the device tests share: a log capture on the firmware's categories and
// a card root with the card emulator and the device manager running.

#include "cardsim/cardsim.h"
#include "deviceManager/deviceManager.h"

#include <chrono>
#include <cstdlib>
#include <deque>
#include <gtest/gtest.h>
#include <log4c.h>
#include <mutex>
#include <semaphore.h>
#include <string>
#include <vector>

#include "../../support/TempDir.h"

// Collects every message logged below "ulm.firmware" while it exists.
class LogCapture {
public:
    LogCapture()
    {
        std::lock_guard<std::mutex> lock(mutex());
        static const log4c_appender_type_t type = {"kvrTestCapture", nullptr, append, nullptr};
        log4c_appender_t *appender = log4c_appender_get("kvrTestCapture");
        log4c_appender_set_type(appender, &type);
        log4c_category_t *category = log4c_category_get("ulm.firmware");
        log4c_category_set_appender(category, appender);
        log4c_category_set_priority(category, LOG4C_PRIORITY_TRACE);
        log4c_category_set_additivity(category, 0);
        lines().clear();
    }
    ~LogCapture()
    {
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
    }
    std::vector<std::string> all() const
    {
        std::lock_guard<std::mutex> lock(mutex());
        return lines();
    }
    int count(const std::string &text) const
    {
        int n = 0;
        for (const std::string &line : all())
            n += line.find(text) != std::string::npos;
        return n;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
    }

private:
    static std::mutex &mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string> &lines()
    {
        static std::vector<std::string> l;
        return l;
    }
    static int append(log4c_appender_t *, const log4c_logging_event_t *event)
    {
        std::lock_guard<std::mutex> lock(mutex());
        lines().push_back(event->evt_msg ? event->evt_msg : "");
        return 0;
    }
};

// Counts completions of asynchronous accesses and waits for them (bounded).
class Completions {
public:
    Completions() { sem_init(&done_, 0, 0); }
    ~Completions() { sem_destroy(&done_); }
    static void callback(deviceObject *, void *argument, uint32_t status)
    {
        auto *self = static_cast<Entry *>(argument);
        self->status = status;
        self->calls++;
        sem_post(&self->owner->done_);
    }
    struct Entry {
        Completions *owner;
        uint32_t status = 0xFFFFFFFF;
        int calls = 0;
    };
    Entry *entry()
    {
        entries_.push_back(Entry{this});
        return &entries_.back();
    }
    // Waits for n completions; false after 5 s.
    bool wait(int n)
    {
        for (int i = 0; i < n; i++) {
            struct timespec deadline;
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += 5;
            if (sem_timedwait(&done_, &deadline) != 0)
                return false;
        }
        return true;
    }
    Completions(const Completions &) = delete;
    Completions &operator=(const Completions &) = delete;

private:
    sem_t done_;
    std::deque<Entry> entries_;
};

// A card root with the card emulator and the device manager, torn down in reverse.
class CardFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("KVR_ROOT", root.path().c_str(), 1);
        cardsimStart();
        deviceManagerInit(nullptr);
    }
    void TearDown() override
    {
        deviceManagerTerminate(nullptr, 3, 0);
        cardsimStop();
        unsetenv("KVR_ROOT");
    }
    LogCapture log;
    TempDir root;
};

#endif
