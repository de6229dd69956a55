#include "main/logLimit.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <sys/time.h>
#include <vector>

/*
 * Each appender in use gets a limiting appender in front of it: its append
 * decides, under one lock, whether the line is written, then hands the event
 * to the appender behind it.
 */

namespace {

struct logKind_t {
    std::string category;
    int priority = 0;
    std::string shape;      /* the message with every run of digits as one '#' */
    long second = 0;        /* the second the count is for */
    unsigned written = 0;   /* lines written in that second */
    unsigned leftOut = 0;   /* lines left out in that second */
    std::string lastLeftOut;
    unsigned long lastUsed = 0;
    log4c_appender_t *behind = nullptr;
};

struct {
    std::mutex mutex;
    logKind_t kinds[MAIN_LOG_LIMIT_KINDS];
    unsigned long uses = 0;
} logLimit;

std::string logShape(const char *message)
{
    std::string shape;
    for (const char *c = message ? message : ""; *c; c++) {
        if (isdigit((unsigned char)*c)) {
            if (shape.empty() || shape.back() != '#')
                shape += '#';
        } else {
            shape += *c;
        }
    }
    return shape;
}

/* A summary owed for a kind whose second is over, taken out of the table (lock held). */
struct logSummary_t {
    std::string category;
    int priority;
    std::string text;
    log4c_appender_t *behind;
};

void logTakeSummary(logKind_t &kind, std::vector<logSummary_t> &owed)
{
    if (kind.leftOut == 0)
        return;
    char head[128];
    snprintf(head, sizeof head, "logLimit: %u more lines like this one were left out in one second: ", kind.leftOut);
    owed.push_back({kind.category, kind.priority, head + kind.lastLeftOut, kind.behind});
    kind.leftOut = 0;
}

int logLimitOpen(log4c_appender_t *)
{
    return 0;
}

int logLimitClose(log4c_appender_t *)
{
    return 0;
}

int logLimitAppend(log4c_appender_t *appender, const log4c_logging_event_t *event)
{
    log4c_appender_t *behind = (log4c_appender_t *)log4c_appender_get_udata(appender);
    if (!behind)
        return 0;
    long second = (long)event->evt_timestamp.tv_sec;
    std::string shape = logShape(event->evt_msg);
    const char *category = event->evt_category ? event->evt_category : "";
    std::vector<logSummary_t> owed;
    int write = 1;
    {
        std::lock_guard<std::mutex> lock(logLimit.mutex);
        logLimit.uses++;
        logKind_t *found = nullptr;
        logKind_t *oldest = &logLimit.kinds[0];
        for (logKind_t &kind : logLimit.kinds) {
            /* every kind whose second is over owes its summary now, whatever is logged */
            if (kind.second != second)
                logTakeSummary(kind, owed);
            if (!found && kind.lastUsed && kind.behind == behind && kind.priority == event->evt_priority &&
                kind.category == category && kind.shape == shape)
                found = &kind;
            if (kind.lastUsed < oldest->lastUsed)
                oldest = &kind;
        }
        if (!found) {
            found = oldest;
            logTakeSummary(*found, owed);
            *found = logKind_t();
            found->category = category;
            found->priority = event->evt_priority;
            found->shape = shape;
            found->behind = behind;
            found->second = second;
        }
        found->lastUsed = logLimit.uses;
        if (found->second != second) {
            found->second = second;
            found->written = 0;
        }
        if (found->written < MAIN_LOG_LIMIT_LINES) {
            found->written++;
        } else {
            found->leftOut++;
            found->lastLeftOut = event->evt_msg ? event->evt_msg : "";
            write = 0;
        }
    }
    for (const logSummary_t &summary : owed) {
        log4c_logging_event_t line = *event;
        line.evt_category = summary.category.c_str();
        line.evt_priority = summary.priority;
        line.evt_msg = summary.text.c_str();
        log4c_appender_append(summary.behind, &line);
    }
    return write ? log4c_appender_append(behind, (log4c_logging_event_t *)event) : 0;
}

const log4c_appender_type_t logLimitType = {"kvr_log_limit", logLimitOpen, logLimitAppend, logLimitClose};

} // namespace

void mainLogLimitInstall(void)
{
    log4c_appender_type_set(&logLimitType);
    log4c_category_t *categories[256];
    int count = log4c_category_list(categories, 256);
    std::map<const log4c_appender_t *, log4c_appender_t *> limits;
    for (int i = 0; i < count && i < 256; i++) {
        const log4c_appender_t *behind = log4c_category_get_appender(categories[i]);
        if (!behind || log4c_appender_get_type(behind) == &logLimitType)
            continue;
        log4c_appender_t *&limit = limits[behind];
        if (!limit) {
            std::string name = std::string("limit:") + log4c_appender_get_name(behind);
            /* from log4c's own table, so that log4c_fini frees it with the others */
            limit = log4c_appender_get(name.c_str());
            log4c_appender_set_type(limit, &logLimitType);
            log4c_appender_set_udata(limit, (void *)behind);
        }
        log4c_category_set_appender(categories[i], limit);
    }
}
