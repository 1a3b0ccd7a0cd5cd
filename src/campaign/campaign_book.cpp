#include "campaign/campaign_book.h"

#include "storage/verdict.h"

#include <algorithm>

namespace vela {

namespace {

using std::chrono::milliseconds;

constexpr const char* kDetailOutcomeUnknown = "SMS outcome unknown, counted as sent";
constexpr const char* kDetailAnswerUnknown =
    "the image went out before an interruption; the answer is unknown";
constexpr const char* kDetailCutShort = "the caller went away before the whole image";
constexpr const char* kDetailUnconfirmed =
    "the SMS was not confirmed as delivered: the tracker may be off or out of coverage";
constexpr const char* kDetailNotDelivered = "SMS not delivered";

// Why a tracker whose SMS went out did not call, from what the network reported of it.
std::string noCallDetail(const CampaignTrackerRecord& row, const std::string& undelivered) {
    if (row.delivery == kDeliveryDelivered) {
        const std::string clock =
            row.deliveredAt.size() >= 19 ? row.deliveredAt.substr(11, 8) : row.deliveredAt;
        return "the SMS was delivered at " + clock +
               " but the tracker did not call: check the APN, the external address and the "
               "port forwarding";
    }
    if (row.delivery == kDeliveryUndeliverable) {
        return undelivered.empty() ? kDetailNotDelivered : undelivered;
    }
    if (row.delivery == kDeliveryUnconfirmed) return kDetailUnconfirmed;
    return {};
}

int64_t unixMilliseconds(std::chrono::system_clock::time_point when) {
    return std::chrono::duration_cast<milliseconds>(when.time_since_epoch()).count();
}

// The count that the answer reports (bytes 1 and 2), when it holds one.
std::optional<int64_t> answerCount(const ByteString& answer) {
    if (answer.size() < 3) return std::nullopt;
    return (static_cast<int64_t>(answer[1]) << 8) | answer[2];
}

int64_t imageCount(const ConfigImage& image) {
    return (static_cast<int64_t>(image.bytes[0]) << 8) | image.bytes[1];
}

}  // namespace

CampaignBook::CampaignBook(CampaignRecord campaign, BookRules rules,
                           std::vector<std::string> modems,
                           std::chrono::system_clock::time_point runStarted)
    : campaign_(std::move(campaign)),
      rules_(rules),
      modems_(std::move(modems)),
      runStarted_(runStarted) {}

CampaignBook::Entry* CampaignBook::find(const std::string& tracker) {
    const auto found = byTracker_.find(tracker);
    return found == byTracker_.end() ? nullptr : &entries_[found->second];
}

bool CampaignBook::isOpen(const Entry& entry) const {
    return entry.state != CampaignTrackerState::Configured &&
           entry.state != CampaignTrackerState::Failed;
}

// Its counted SMS may bring its call, or its image went out in a session that was cut.
bool CampaignBook::awaited(const Entry& entry) const {
    return entry.held && isOpen(entry) && !entry.inSession && entry.image != nullptr &&
           (entry.state == CampaignTrackerState::Sending ||
            entry.state == CampaignTrackerState::Waiting || entry.answerUnknown);
}

std::vector<BookEntry> CampaignBook::TakeOutbox() {
    std::vector<BookEntry> taken;
    taken.swap(outbox_);
    return taken;
}

std::vector<CampaignTrackerRecord> CampaignBook::rows() const {
    std::vector<CampaignTrackerRecord> all;
    all.reserve(entries_.size());
    for (const Entry& entry : entries_) all.push_back(entry.row);
    return all;
}

int CampaignBook::claimRoom() const {
    if (stopped_ || halted_ || modemsInService() <= 0) return 0;
    return std::max(
        0, rules_.claimAheadPerModem * modemsInService() - static_cast<int>(sendQueue_.size()));
}

bool CampaignBook::wantsClaims() const {
    return claimRoom() > 0 && static_cast<int>(sendQueue_.size()) < 2 * modemsInService();
}

// --- saving ---

HistoryRecord CampaignBook::historyOf(const Entry& entry, Verdict verdict,
                                      std::optional<int64_t> answerBytes, BookTime now) const {
    HistoryRecord record;
    record.endedAt = HistoryTimestamp(now.wall);
    record.startedAt = entry.attemptStartedAt.empty() ? record.endedAt : entry.attemptStartedAt;
    record.kind = kRunKindCampaign;
    record.tracker = entry.row.tracker;
    record.phone = entry.row.phone;
    record.modemPort = entry.row.modemPort;
    record.configFile = campaign_.configFile;
    record.configSha256 = campaign_.configSha256;
    record.imageBytes = entry.image != nullptr ? imageCount(*entry.image) : 0;
    record.callerAddress = entry.row.callerAddress;
    record.callerImei = entry.row.callerImei;
    record.answerBytes = answerBytes;
    record.verdict = verdict;
    record.detail = entry.row.detail;
    record.campaignId = campaign_.id;
    record.delivery = entry.row.delivery;
    record.deliveredAt = entry.row.deliveredAt;
    return record;
}

// The entry's row goes to the outbox (with a history row); `event` is announced once it
// is saved.
void CampaignBook::save(Entry& entry, std::optional<CampaignEvent> event, BookTime now,
                        std::optional<HistoryRecord> history) {
    entry.row.state = std::string(CampaignTrackerStateWord(entry.state));
    if (event) entry.row.lastEvent = std::string(CampaignEventWord(*event));
    entry.row.updatedAt = HistoryTimestamp(now.wall);
    BookEntry out;
    out.row = entry.row;
    out.history = std::move(history);
    if (event) {
        CampaignTrackerUpdate update;
        update.description = entry.row.tracker;
        update.event = *event;
        update.detail = entry.row.detail;
        update.state = entry.state;
        update.attempts = static_cast<int>(entry.row.attempts);
        update.modemPort = entry.row.modemPort;
        update.callerAddress = entry.row.callerAddress;
        update.answer = entry.row.answer;
        update.verdict = entry.row.verdict;
        update.elapsed = std::max(milliseconds(0),
                                  std::chrono::duration_cast<milliseconds>(now.wall - runStarted_));
        out.update = std::move(update);
    }
    outbox_.push_back(std::move(out));
}

void CampaignBook::setFinal(Entry& entry, CampaignTrackerState state, Verdict verdict) {
    entry.state = state;
    entry.row.verdict = std::string(VerdictWord(verdict));
    entry.queued = false;
    --open_;
}

void CampaignBook::waitFor(std::size_t index, CampaignClock::time_point until, BookTime now) {
    Entry& entry = entries_[index];
    entry.state = CampaignTrackerState::Waiting;
    entry.row.waitUntilMs = unixMilliseconds(now.wall) +
                            std::chrono::duration_cast<milliseconds>(
                                std::max(until - now.steady, CampaignClock::duration::zero()))
                                .count();
    deadlines_.push({until, index, ++entry.deadlineGeneration});
}

// After a failed SMS or a missed call: again, behind the others, while attempts are left
// and an SMS can be built; otherwise the verdict stands.
void CampaignBook::retryOrFail(std::size_t index, CampaignEvent event, Verdict verdict,
                               BookTime now) {
    Entry& entry = entries_[index];
    const bool again = entry.row.attempts < rules_.attempts && entry.refusal.empty();
    if (again) {
        entry.state = CampaignTrackerState::Pending;
    } else {
        setFinal(entry, CampaignTrackerState::Failed, verdict);
    }
    save(entry, event, now, historyOf(entry, verdict, std::nullopt, now));
    if (!again) return;
    entry.row.detail.clear();
    save(entry, CampaignEvent::Retry, now);
    entry.queued = true;
    sendQueue_.push_back(index);
}

// The wait of its last SMS ran out. While attempts are left this attempt missed its
// call; once they are spent, a tracker whose image went out in a cut session ends with
// its answer unknown.
void CampaignBook::expire(std::size_t index, BookTime now) {
    Entry& entry = entries_[index];
    const bool last = entry.row.attempts >= rules_.attempts || !entry.refusal.empty();
    if (last && entry.answerUnknown) {
        entry.row.detail = kDetailAnswerUnknown;
        retryOrFail(index, CampaignEvent::AnswerUnknown, Verdict::AnswerUnknown, now);
    } else if (entry.calledThisAttempt) {
        entry.row.detail = kDetailCutShort;
        retryOrFail(index, CampaignEvent::HungUp, Verdict::HungUp, now);
    } else {
        entry.row.detail = noCallDetail(entry.row, entry.undelivered);
        retryOrFail(index, CampaignEvent::NoCall, Verdict::NoCall, now);
    }
}

// --- trackers taken on and let go ---

void CampaignBook::Adopt(std::vector<BookTracker> trackers, BookTime now) {
    for (BookTracker& tracker : trackers) {
        const auto known = byTracker_.find(tracker.row.tracker);
        if (known != byTracker_.end() && entries_[known->second].held) continue;
        std::size_t index = entries_.size();
        if (known != byTracker_.end()) {
            // Given back to this station after a takeover: a new tenure.
            index = known->second;
            const uint64_t tenure = entries_[index].tenure + 1;
            entries_[index] = Entry();
            entries_[index].tenure = tenure;
        } else {
            entries_.emplace_back();
            byTracker_.emplace(tracker.row.tracker, index);
        }
        Entry& entry = entries_[index];
        entry.row = std::move(tracker.row);
        entry.pushMessage = std::move(tracker.pushMessage);
        entry.refusal = std::move(tracker.refusal);
        entry.image = tracker.image;
        if (entry.image == nullptr && entry.refusal.empty()) {
            entry.refusal = "no image for the tracker's device type";
        }
        entry.state =
            CampaignTrackerStateFromWord(entry.row.state).value_or(CampaignTrackerState::Pending);
        adoptOne(index, now);
    }
}

// Takes on one row where it stands. An SMS whose outcome was not saved may have been
// accepted: it counts as sent, and the tracker gets the full wait. A session cut after
// the image may have gone out leaves the answer unknown: woken again while attempts are
// left, and waited for while its wait runs when they are spent.
void CampaignBook::adoptOne(std::size_t index, BookTime now) {
    Entry& entry = entries_[index];
    if (!isOpen(entry)) return;
    ++open_;
    if (entry.row.lastEvent == CampaignEventWord(CampaignEvent::Called)) {
        entry.answerUnknown = true;
        entry.row.detail = kDetailAnswerUnknown;
        if (entry.row.attempts < rules_.attempts && entry.refusal.empty()) {
            // Its row keeps "called" until the next SMS, so a second resume knows too.
            entry.state = CampaignTrackerState::Pending;
            save(entry, std::nullopt, now);
        } else {
            const int64_t left =
                std::max<int64_t>(0, entry.row.waitUntilMs - unixMilliseconds(now.wall));
            waitFor(index, now.steady + milliseconds(left), now);
            save(entry, std::nullopt, now);
            return;
        }
    }
    switch (entry.state) {
        case CampaignTrackerState::Pending:
            entry.queued = true;
            sendQueue_.push_back(index);
            break;
        case CampaignTrackerState::Sending:
            entry.row.detail = kDetailOutcomeUnknown;
            waitFor(index, now.steady + rules_.wait, now);
            save(entry, std::nullopt, now);
            break;
        case CampaignTrackerState::Waiting:
            waitFor(index,
                    now.steady + milliseconds(std::max<int64_t>(
                                     0, entry.row.waitUntilMs - unixMilliseconds(now.wall))),
                    now);
            break;
        case CampaignTrackerState::Configured:
        case CampaignTrackerState::Failed:
            break;
    }
}

void CampaignBook::Release(const std::string& tracker) {
    Entry* entry = find(tracker);
    if (entry == nullptr || !entry->held) return;
    entry->held = false;
    entry->queued = false;
    if (isOpen(*entry)) --open_;
}

// --- the modems' side ---

std::optional<SendOrder> CampaignBook::NextToSend(const std::string& modem, BookTime now) {
    if (stopped_ || halted_ || !inService(modem)) return std::nullopt;
    for (auto at = sendQueue_.begin(); at != sendQueue_.end();) {
        Entry& entry = entries_[*at];
        // A tracker whose SMS failed on this modem goes through another one while there
        // is another.
        if (entry.avoidModem == modem && modemsInService() > 1) {
            ++at;
            continue;
        }
        // In a session of its own (its answer unknown): it keeps its place.
        if (entry.inSession) {
            ++at;
            continue;
        }
        at = sendQueue_.erase(at);
        // Let go, or no longer waiting for an SMS.
        if (!entry.queued || !entry.held || entry.state != CampaignTrackerState::Pending) {
            entry.queued = false;
            continue;
        }
        entry.queued = false;
        if (!entry.refusal.empty()) {
            entry.row.detail = entry.refusal;
            setFinal(entry, CampaignTrackerState::Failed, Verdict::SmsFailed);
            save(entry, CampaignEvent::SmsFailed, now,
                 historyOf(entry, Verdict::SmsFailed, std::nullopt, now));
            continue;
        }
        // "About to be sent" is saved before a byte goes to the modem.
        entry.state = CampaignTrackerState::Sending;
        ++entry.row.attempts;
        entry.row.modemPort = modem;
        entry.row.detail.clear();
        entry.row.delivery.clear();
        entry.row.deliveredAt.clear();
        entry.row.messageReference.reset();
        entry.undelivered.clear();
        entry.calledThisAttempt = false;
        entry.attemptStartedAt = HistoryTimestamp(now.wall);
        save(entry, std::nullopt, now);
        return SendOrder{entry.row.tracker, modem, entry.pushMessage, entry.tenure};
    }
    return std::nullopt;
}

bool CampaignBook::inService(const std::string& modem) const {
    const auto found = failuresInARow_.find(modem);
    return found == failuresInARow_.end() || found->second < rules_.modemFailuresToRetire;
}

void CampaignBook::modemFailed(const std::string& modem, const std::string& error) {
    if (++failuresInARow_[modem] != rules_.modemFailuresToRetire) return;
    retire(modem, "modem " + modem + " taken out of service: " + error, error);
}

void CampaignBook::LeaveOut(const std::string& modem, const std::string& reason) {
    if (!inService(modem)) return;
    failuresInARow_[modem] = rules_.modemFailuresToRetire;
    retire(modem, "modem " + modem + " left out: " + reason, reason);
}

void CampaignBook::retire(const std::string& modem, const std::string& text,
                          const std::string& error) {
    ++retired_;
    BookEntry warning;
    warning.warning = text;
    outbox_.push_back(std::move(warning));
    if (modemsInService() == 0 && !halted_) {
        halted_ = "no modem left in service (the last: " + modem + ": " + error + ")";
    }
}

void CampaignBook::SmsDone(const SendOrder& order, const DialogueOutcome& outcome, BookTime now) {
    const bool accepted = outcome.stage == DialogueStage::Accepted;
    const std::string error =
        outcome.reason.empty() ? outcome.failureText : outcome.failureText + ": " + outcome.reason;
    // A cancelled dialogue is the operator's stop, not the modem's fault.
    if (accepted)
        failuresInARow_[order.modem] = 0;
    else if (!outcome.cancelled)
        modemFailed(order.modem, error);

    Entry* entry = find(order.tracker);
    // Taken over by another station meanwhile: its rows are theirs now. An SMS that went
    // out stays counted there (the row said "sending"), also when the tracker came back
    // to this station meanwhile (then as a new tenure).
    if (entry == nullptr || !entry->held || entry->tenure != order.tenure) return;
    const std::size_t index = byTracker_.at(order.tracker);
    if (accepted) {
        if (entry->state == CampaignTrackerState::Sending) {
            waitFor(index, now.steady + rules_.wait, now);
        }
        entry->row.detail = order.modem;
        if (outcome.messageReference) entry->row.messageReference = *outcome.messageReference;
        save(*entry, CampaignEvent::SmsSent, now);
        if (outcome.reportAsked) reported(*entry, outcome, now);
        return;
    }
    entry->row.detail = error;
    entry->avoidModem = order.modem;
    // Before the message itself went to the modem nothing can have been sent: the attempt
    // is given back. A failure after it may hide an SMS that went out.
    if (outcome.stage != DialogueStage::AfterPrompt) --entry->row.attempts;
    if (entry->state != CampaignTrackerState::Sending) {
        save(*entry, CampaignEvent::SmsFailed, now);  // it called meanwhile
        return;
    }
    if (outcome.cancelled || halted_) {
        // Stopped, or no modem left: the tracker keeps its place for a resume.
        entry->state = CampaignTrackerState::Pending;
        save(*entry, CampaignEvent::SmsFailed, now);
        entry->queued = true;
        sendQueue_.push_front(index);
        return;
    }
    retryOrFail(index, CampaignEvent::SmsFailed, Verdict::SmsFailed, now);
}

// What the network said of an accepted SMS that asked for a report. The tracker keeps
// waiting either way: a delivered one may still call, and the wait's end names the cause.
void CampaignBook::reported(Entry& entry, const DialogueOutcome& outcome, BookTime now) {
    const std::optional<StatusReport>& report = outcome.report;
    if (!report || report->state == DeliveryState::Trying) {
        entry.row.delivery = kDeliveryUnconfirmed;
        save(entry, std::nullopt, now);
        return;
    }
    entry.row.deliveredAt = report->dischargeTime.text();
    if (report->state == DeliveryState::Delivered) {
        entry.row.delivery = kDeliveryDelivered;
        entry.row.detail = "delivered at " + report->dischargeTime.clock();
        save(entry, CampaignEvent::SmsDelivered, now);
        return;
    }
    entry.row.delivery = kDeliveryUndeliverable;
    entry.undelivered =
        std::string(kDetailNotDelivered) + ": " + DeliveryStatusText(report->status);
    entry.row.detail = entry.undelivered;
    save(entry, CampaignEvent::SmsUndeliverable, now);
}

void CampaignBook::SmsNotStarted(const SendOrder& order, BookTime now) {
    Entry* entry = find(order.tracker);
    if (entry == nullptr || !entry->held || entry->tenure != order.tenure ||
        entry->state != CampaignTrackerState::Sending) {
        return;
    }
    // Saved back as well, lest a resumed campaign count an SMS that was never sent.
    entry->state = CampaignTrackerState::Pending;
    --entry->row.attempts;
    save(*entry, std::nullopt, now);
    entry->queued = true;
    sendQueue_.push_front(byTracker_.at(order.tracker));
}

// --- the listener's side ---

CallerDecision CampaignBook::CallerIdentified(const std::string& imei, const std::string& address,
                                              BookTime now) {
    Entry* entry = find(imei);
    if (entry == nullptr || !entry->held) return {nullptr, "not in this station's campaign"};
    if (!isOpen(*entry)) return {nullptr, "done already"};
    if (entry->inSession) return {nullptr, "in a session already"};
    if (!awaited(*entry)) return {nullptr, "not awaited: no SMS was sent to it"};
    entry->inSession = true;
    entry->calledThisAttempt = true;
    entry->row.callerAddress = address;
    entry->row.callerImei = imei;
    entry->row.detail = address;
    // Saved before the image goes out: a resumed campaign then knows that this tracker
    // may hold the image already.
    save(*entry, CampaignEvent::Called, now);
    return {entry->image, {}};
}

void CampaignBook::CallEnded(const std::string& imei, CallEnd end, const ByteString& answer,
                             BookTime now) {
    Entry* entry = find(imei);
    if (entry == nullptr || !entry->inSession) return;
    entry->inSession = false;
    if (!entry->held || !isOpen(*entry)) return;
    const std::size_t index = byTracker_.at(imei);
    if (end == CallEnd::Answered) {
        const int64_t expected = imageCount(*entry->image);
        const std::optional<int64_t> count = answerCount(answer);
        entry->row.answer = formatAnswer(answer, *entry->image);
        entry->row.detail =
            count ? std::to_string(*count) + " of " + std::to_string(expected) + " bytes"
                  : "short answer (" + std::to_string(answer.size()) + " bytes)";
        const Verdict verdict = count == expected ? Verdict::Configured : Verdict::Rejected;
        setFinal(*entry,
                 verdict == Verdict::Configured ? CampaignTrackerState::Configured
                                                : CampaignTrackerState::Failed,
                 verdict);
        save(*entry,
             verdict == Verdict::Configured ? CampaignEvent::Configured : CampaignEvent::Rejected,
             now, historyOf(*entry, verdict, count, now));
        return;
    }
    if (stopped_ && end == CallEnd::TimedOut) {
        // Ended by the stop's grace with the image out: its row says "called", and a
        // resumed campaign treats its answer as unknown.
        return;
    }
    if (end == CallEnd::Cut) {
        // It cannot hold the image: still awaited while its wait runs (a deadline that
        // passed during the session is run now).
        entry->row.detail = kDetailCutShort;
        if (entry->state == CampaignTrackerState::Waiting && !stopped_ && !halted_ &&
            entry->row.waitUntilMs <= unixMilliseconds(now.wall)) {
            expire(index, now);
        } else {
            save(*entry, std::nullopt, now);
        }
        return;
    }
    entry->row.detail = end == CallEnd::TimedOut ? "no answer in time" : "";
    setFinal(*entry, CampaignTrackerState::Failed, Verdict::HungUp);
    save(*entry, CampaignEvent::HungUp, now, historyOf(*entry, Verdict::HungUp, std::nullopt, now));
}

// --- time and stop ---

std::optional<CampaignClock::time_point> CampaignBook::Tick(BookTime now) {
    while (!deadlines_.empty() && deadlines_.top().when <= now.steady) {
        const Deadline due = deadlines_.top();
        deadlines_.pop();
        Entry& entry = entries_[due.entry];
        if (due.generation != entry.deadlineGeneration || !entry.held ||
            entry.state != CampaignTrackerState::Waiting || entry.inSession) {
            continue;
        }
        // A stopped station keeps its waiting trackers waiting for a resume.
        if (stopped_ || halted_) continue;
        expire(due.entry, now);
    }
    if (deadlines_.empty()) return std::nullopt;
    return deadlines_.top().when;
}

void CampaignBook::Stop() {
    stopped_ = true;
}

}  // namespace vela
