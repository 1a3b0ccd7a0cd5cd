// One call of a fleet tracker to Vela, played according to the tracker's role.
#include "sim_fleet_call.h"

#include "sim_tracker_image.h"

#include <algorithm>
#include <thread>

namespace velasim {
namespace {

using Clock = std::chrono::steady_clock;

CallOutcome Outcome(std::string word, std::string detail = {}) {
    return {std::move(word), std::move(detail)};
}

}  // namespace

CallOutcome PlaceCall(const CallPlan& plan) {
    const Deadline deadline = Clock::now() + plan.timeout;
    auto connected = TrackerConnection::Connect(plan.host, plan.port, deadline);
    if (!connected) return Outcome("failed", connected.message());
    TrackerConnection connection = std::move(connected).value();

    std::vector<uint8_t> identification = {0x00, 0x0F};
    identification.insert(identification.end(), plan.imei.begin(), plan.imei.end());
    if (auto sent = connection.SendAll(identification, deadline); !sent) {
        return Outcome("failed", sent.message());
    }

    // A caller Vela does not expect is closed without a byte; so is a second call.
    const bool expectsTurnAway = plan.role == FleetRole::Foreign || plan.secondCall;
    std::vector<uint8_t> image;
    if (auto read = connection.ReadExact(2, image, deadline); !read) {
        if (expectsTurnAway && image.empty() && Clock::now() < deadline) {
            return Outcome("turned-away");
        }
        return Outcome("failed", "no image: " + read.message());
    }
    const std::size_t rest = (static_cast<std::size_t>(image[0]) << 8) | image[1];
    if (auto read = connection.ReadExact(rest, image, deadline); !read) {
        return Outcome("failed", "incomplete image: " + read.message());
    }
    if (expectsTurnAway) {
        connection.Finish(Clock::now());
        return Outcome("got-image", std::to_string(image.size()) + " bytes although not expected");
    }

    std::string problem;
    if (const auto structure = checkImageStructure(image); !structure) {
        problem = "bad image: " + structure.message();
    } else if (plan.expected) {
        const std::string difference = describeImageDifference(image, *plan.expected);
        if (!difference.empty()) problem = "image differs: " + difference;
    }

    std::vector<uint8_t> answer = {0x01, image[0], image[1]};
    std::string word = "answered";
    if (plan.role == FleetRole::Rejects) {
        // A count one higher than the image that came: Vela must not take it as whole.
        const std::size_t wrong = (rest + 1) & 0xFFFF;
        answer = {0x01, static_cast<uint8_t>(wrong >> 8), static_cast<uint8_t>(wrong & 0xFF)};
        word = "answered-wrong";
    }
    if (plan.role == FleetRole::HangsUp) {
        connection.Finish(Clock::now());
        return problem.empty() ? Outcome("hung-up") : Outcome("bad-image", problem);
    }
    if (plan.answerDelay.count() > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        std::this_thread::sleep_for(
            std::max(std::chrono::milliseconds(0), std::min(plan.answerDelay, left)));
    }
    if (auto sent = connection.SendAll(answer, deadline); !sent) {
        return Outcome("failed", sent.message());
    }
    // Vela closes at once after the answer; waiting for it keeps the answer from being
    // lost to a reset.
    connection.Finish(std::min(deadline, Clock::now() + std::chrono::seconds(2)));
    if (!problem.empty()) return Outcome("bad-image", problem);
    return Outcome(word, std::to_string(image.size()) + " bytes");
}

}  // namespace velasim
