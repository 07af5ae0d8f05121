#pragma once
// Everything a user of the background executor needs.
#include "executor/background_executor.hpp"
#include "executor/cancel_signal.hpp"
#include "executor/job_failure.hpp"
#include "executor/job_handle.hpp"
#include "executor/job_local.hpp"
#include "executor/oneshot.hpp"
#include "executor/shared_executor.hpp"
#include "executor/sleep.hpp"
#include "executor/task.hpp"
