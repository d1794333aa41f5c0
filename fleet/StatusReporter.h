#pragma once

#include "fleet/HttpClient.h"
#include "fleet/QueueFolder.h"
#include "fleet/StatusReport.h"

#include <string>
#include <vector>

namespace vex::fleet
{
// Delivers status documents: PUT to REPORT_URL/DEVICE_ID/VERSION.json. What cannot be delivered now is kept
// in a queue folder (one file a document, numbered in order, bounded in count: the oldest goes first when
// full) and sent, oldest first, before anything new at the next contact. Without a report URL nothing is
// sent or kept.
class StatusReporter
{
public:
    static constexpr size_t kMostQueued = 64;

    StatusReporter(HttpClient& http, std::string reportUrl, std::string queueFolder);

    // Sends what the queue holds, oldest first, stopping at the first failure (the rest waits). Documents
    // in the queue that do not parse are dropped. True when the queue is empty afterwards.
    bool sendQueued(std::string& why);
    // Sends `report` now, after the queue; queues it when that fails. True when delivered.
    bool deliver(const StatusReport& report, std::string& why);

    // Sends `report` now only when nothing waits in the queue (it would overtake it), and never queues it:
    // for progress, which the next report replaces anyway. True when delivered.
    bool sendIfNothingQueued(const StatusReport& report, std::string& why);
    // Puts `report` at the end of the queue without sending it (nothing without a report URL). False with
    // `why` when it cannot be written.
    bool keep(const StatusReport& report, std::string& why);

    // The queued files' names, oldest first.
    std::vector<std::string> queued() const;

private:
    bool put(const StatusReport& report, std::string& why);
    bool enqueue(const StatusReport& report, std::string& why);

    HttpClient& http_;
    std::string url_;
    QueueFolder queue_;
};

}  // namespace vex::fleet
