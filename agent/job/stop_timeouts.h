#ifndef AGENT_STOP_TIMEOUTS_H
#define AGENT_STOP_TIMEOUTS_H

/// How long each side of a stop waits, from the run to the service manager.
/// They nest, so that no one gives up on a wait that another still relies
/// on: a run asked to stop may wait kRunCancelWaitSeconds for what it
/// started outside the agent to end (a HANA backup being cancelled), then
/// takes up to kRunCleanupSeconds to clean up (partial objects, backint
/// records, its end reported); the stopping agent waits for its runs that
/// long in all (kAgentStopWaitSeconds), and the service manager gives the
/// agent kAgentExitSeconds more to unload and exit before it kills it
/// (TimeoutStopSec of packaging/strovix3-agent.service, which a test holds
/// to kServiceStopTimeoutSeconds).
///
/// What the limits do not cover (a server that does not answer through all
/// its retries) is left for the next start: a run cut short is reconciled
/// then.
struct Stop_Timeouts {
  static constexpr int kRunCancelWaitSeconds = 240;
  static constexpr int kRunCleanupSeconds = 60;
  static constexpr int kAgentStopWaitSeconds = kRunCancelWaitSeconds + kRunCleanupSeconds;
  static constexpr int kAgentExitSeconds = 30;
  static constexpr int kServiceStopTimeoutSeconds = kAgentStopWaitSeconds + kAgentExitSeconds;
};

#endif
