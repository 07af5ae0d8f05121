#include "limiters/server_attempt.hpp"

#include <memory>
#include <optional>

#include "engine/burst.hpp"
#include "executor/clock.hpp"
#include "executor/oneshot.hpp"

namespace quellgate {
namespace {

using Attempt = engine::CountHome::Attempt;

// The answer, with the permit it brings riding along until the job takes
// it: dropped unread (the job is gone), it goes back to the server.
struct Answer {
  Attempt attempt;
  std::optional<engine::BurstPermit> permit;
};

executor::Task<Attempt> attempt_at_server(engine::LimiterCore core, std::uint64_t cost) {
  auto [sender, receiver] = executor::make_oneshot<Answer>();
  // Shared only because a std::function must be copyable; sent once.
  auto answer_to = std::make_shared<executor::OneShotSender<Answer>>(std::move(sender));
  core.home()->admit_async(executor::wall_now(), core.max_burst().has_value(), cost,
                           [core, answer_to](Attempt attempt) {
                             Answer answer{attempt, std::nullopt};
                             if (attempt.admitted) answer.permit.emplace(core);
                             answer_to->send(std::move(answer));
                           });
  std::optional<Answer> answer = co_await receiver;
  // The home always answers; a callback dropped unrun is a failed attempt.
  if (!answer) {
    Attempt unanswered;
    unanswered.failed = true;
    co_return unanswered;
  }
  if (answer->permit) answer->permit->hand_over();
  co_return answer->attempt;
}

}  // namespace

executor::Task<engine::Admission> try_admit_at_server(engine::LimiterCore core, std::uint64_t cost,
                                                      std::chrono::nanoseconds* decided_at) {
  const Attempt attempt = co_await attempt_at_server(core, cost);
  if (attempt.failed) co_return engine::Admission::interrupted;
  if (!attempt.admitted) co_return engine::Admission::refused;
  if (decided_at != nullptr) *decided_at = attempt.decided_at;
  co_return engine::Admission::admitted;
}

executor::Task<engine::CountHome::Reading> read_ahead_at_server(engine::LimiterCore core) {
  auto [sender, receiver] = executor::make_oneshot<engine::CountHome::Reading>();
  auto answer_to = std::make_shared<executor::OneShotSender<engine::CountHome::Reading>>(std::move(sender));
  core.home()->read_ahead([core, answer_to](engine::CountHome::Reading reading) { answer_to->send(std::move(reading)); });
  // Nothing read ahead (a callback dropped unrun): the report asks itself.
  std::optional<engine::CountHome::Reading> reading = co_await receiver;
  co_return reading ? std::move(*reading) : nullptr;
}

executor::Task<void> release_at_server(engine::LimiterCore core) {
  auto [sender, receiver] = executor::make_oneshot<bool>();
  auto answer_to = std::make_shared<executor::OneShotSender<bool>>(std::move(sender));
  core.home()->release_permit_then([answer_to] { answer_to->send(true); });
  (void)co_await receiver;
}

executor::Task<void> settle_at_server(engine::LimiterCore core, std::chrono::nanoseconds decided_at, std::int64_t delta) {
  auto [sender, receiver] = executor::make_oneshot<bool>();
  auto answer_to = std::make_shared<executor::OneShotSender<bool>>(std::move(sender));
  core.home()->settle_then(decided_at, delta, [answer_to] { answer_to->send(true); });
  (void)co_await receiver;
}

executor::Task<engine::AdmissionStep> next_step_at_server(engine::AdmissionLoop& loop, engine::LimiterCore core) {
  if (core.interrupted()) co_return loop.interrupt();
  // Read before the attempt, as AdmissionLoop::next reads it.
  const std::uint32_t releases_seen = core.home()->releases_seen();
  const Attempt attempt = co_await attempt_at_server(core, loop.cost());
  co_return loop.after_attempt_at_home(attempt, releases_seen);
}

}  // namespace quellgate
