// The relay experiment of one channel: what a call in relay mode measures
// and decides before the bank's law runs it as a manual call whose manual
// value is the relay's level.
//
// The channel's relay state is kFieldCount numbers (small integers stored
// as doubles), one row of the bank's relay block each: field f of channel
// i lies at fields[f*stride + i]. The rows are kovar._relay.FIELDS, in its
// order, which the pickles and relay_result() share.
//
// Every step is the IEEE operation tests/relay_reference.py makes, in its
// order (the build forbids FMA contraction), and Python's min/max, so the
// bank gives the reference's bits. Everything is a template on the path's
// scalar lane S, as the law is: the vector paths' translation units are
// compiled with other instruction sets, and code shared between them could
// be linked from the wrong one.
#pragma once

#include <cstddef>

namespace kovar::bank_kernel::relay {

enum Field : int {
  // The experiment's parameters.
  kRelayState, kReason, kSign, kEstimate, kCycles, kBias, kUOn, kUOff, kEps, kMaxTime,
  // Where it is.
  kOn, kCalls, kSwitches, kNoiseN, kRun, kTime, kHMax, kY0, kE0, kY1, kY2, kE1, kNoiseSum,
  kSigma, kTCross, kTHalfMax,
  // The current period.
  kTOn, kLagOn, kLagOff, kYStart, kIu, kIuOn, kIy, kHAll, kHOn, kYMax, kYMin,
  // The run of periods that agree.
  kYRun, kYEnd, kSumTOn, kSumTOff, kSumAmp, kSumIu, kSumIuOn, kSumIy, kSumH, kSumHOn,
  kSumLagOn, kSumLagOff, kMinTOn, kMaxTOn, kMinTOff, kMaxTOff, kMinAmp, kMaxAmp,
  kFieldCount
};

// The names of the fields, as kovar._relay.FIELDS gives them.
inline constexpr const char* kFieldNames[kFieldCount] = {
    "relay_state", "reason", "sign", "estimate", "cycles", "bias", "u_on", "u_off", "eps",
    "max_time", "on", "calls", "switches", "noise_n", "run", "time", "h_max", "y0", "e0", "y1",
    "y2", "e1", "noise_sum", "sigma", "t_cross", "t_half_max", "t_on", "lag_on", "lag_off",
    "y_start", "iu", "iu_on", "iy", "h_all", "h_on", "y_max", "y_min", "y_run", "y_end",
    "sum_t_on", "sum_t_off", "sum_amp", "sum_iu", "sum_iu_on", "sum_iy", "sum_h", "sum_h_on",
    "sum_lag_on", "sum_lag_off", "min_t_on", "max_t_on", "min_t_off", "max_t_off", "min_amp",
    "max_amp"};

// The fields that hold small integers.
inline constexpr bool is_int(int field) noexcept {
  return field <= kCycles || (field >= kOn && field <= kRun);
}

// relay_state and reason, as kovar._relay.STATES and REASONS read them.
// (Doubles, as the fields hold them.)
inline constexpr double kOff = 0.0;
inline constexpr double kRunning = 1.0;
inline constexpr double kDone = 2.0;
inline constexpr double kFailed = 3.0;
inline constexpr double kNoReason = 0.0;
inline constexpr double kMaxTimeExceeded = 1.0;
inline constexpr double kNonFinite = 2.0;
inline constexpr double kStalled = 3.0;
inline constexpr double kStopped = 4.0;          // stop_relay()
inline constexpr double kStoppedByManual = 5.0;  // set_manual()
inline constexpr double kStoppedByReset = 6.0;   // reset()
inline constexpr double kReasonCount = 7.0;

// The experiment's constants (tests/relay_reference.py gives their reasons).
inline constexpr double kHysteresisMultiple = 4.0;
inline constexpr double kNoiseSamples = 32.0;
inline constexpr double kFirstSwitch = 2.0;
inline constexpr double kNoiseScale = 1.9544100476116797;  // sqrt(12/pi)
inline constexpr double kTolerance = 0.05;
inline constexpr double kNoiseAllowance = 2.0;
inline constexpr double kStall = 10.0;

// One channel's fields.
struct Channel {
  double* at;
  std::size_t stride;
  double& operator[](Field f) const noexcept { return at[static_cast<std::size_t>(f) * stride]; }
};

// Python's max(a, b) and min(a, b): the left operand unless the right one
// is greater (smaller), compared quietly.
template <class S>
inline double py_max(double a, double b) noexcept {
  return __builtin_isgreater(b, a) ? b : a;
}
template <class S>
inline double py_min(double a, double b) noexcept {
  return __builtin_isless(b, a) ? b : a;
}

// The relay's output for this call (before the limits).
template <class S>
inline double level(const Channel& f) noexcept {
  return f[kOn] != 0.0 ? f[kUOn] : f[kUOff];
}

template <class S>
inline void finish(const Channel& f, double state, double reason) noexcept {
  f[kRelayState] = state;
  f[kReason] = reason;
}

// A period ends at a switch on: the half-periods and the amplitude join
// the run of periods that agree, or start a new one.
template <class S>
inline void period(const Channel& f, double t_off, double y) noexcept {
  const double t_on = f[kTOn];
  const double amp = (f[kYMax] - f[kYMin]) * 0.5;
  bool agree = false;
  double lo_on = 0.0, hi_on = 0.0, lo_off = 0.0, hi_off = 0.0, lo_a = 0.0, hi_a = 0.0;
  if (f[kRun] > 0.0) {
    lo_on = py_min<S>(f[kMinTOn], t_on);
    hi_on = py_max<S>(f[kMaxTOn], t_on);
    lo_off = py_min<S>(f[kMinTOff], t_off);
    hi_off = py_max<S>(f[kMaxTOff], t_off);
    lo_a = py_min<S>(f[kMinAmp], amp);
    hi_a = py_max<S>(f[kMaxAmp], amp);
    const double lo_t = py_min<S>(lo_on, lo_off);
    const double noise = kNoiseAllowance * f[kSigma];
    const double step = f[kHMax];
    agree = (hi_on - lo_on) * lo_a <= (kTolerance * hi_on + step) * lo_a + noise * hi_on &&
            (hi_off - lo_off) * lo_a <= (kTolerance * hi_off + step) * lo_a + noise * hi_off &&
            (hi_a - lo_a) * lo_t <= (kTolerance * lo_t + 2.0 * step) * hi_a + noise * lo_t;
  }
  if (agree) {
    f[kRun] = f[kRun] + 1.0;
    f[kMinTOn] = lo_on;
    f[kMaxTOn] = hi_on;
    f[kMinTOff] = lo_off;
    f[kMaxTOff] = hi_off;
    f[kMinAmp] = lo_a;
    f[kMaxAmp] = hi_a;
    f[kSumTOn] = f[kSumTOn] + t_on;
    f[kSumTOff] = f[kSumTOff] + t_off;
    f[kSumAmp] = f[kSumAmp] + amp;
    f[kSumIu] = f[kSumIu] + f[kIu];
    f[kSumIuOn] = f[kSumIuOn] + f[kIuOn];
    f[kSumH] = f[kSumH] + f[kHAll];
    f[kSumHOn] = f[kSumHOn] + f[kHOn];
    f[kSumIy] = f[kSumIy] + f[kIy];
    f[kSumLagOn] = f[kSumLagOn] + f[kLagOn];
    f[kSumLagOff] = f[kSumLagOff] + f[kLagOff];
  } else {
    f[kRun] = 1.0;
    f[kMinTOn] = f[kMaxTOn] = f[kSumTOn] = t_on;
    f[kMinTOff] = f[kMaxTOff] = f[kSumTOff] = t_off;
    f[kMinAmp] = f[kMaxAmp] = f[kSumAmp] = amp;
    f[kSumIu] = f[kIu];
    f[kSumIuOn] = f[kIuOn];
    f[kSumIy] = f[kIy];
    f[kSumH] = f[kHAll];
    f[kSumHOn] = f[kHOn];
    f[kSumLagOn] = f[kLagOn];
    f[kSumLagOff] = f[kLagOff];
    f[kYRun] = f[kYStart];
  }
  f[kYEnd] = y;
  if (f[kRun] >= f[kCycles]) finish<S>(f, kDone, kNoReason);
}

// A switch at the call at time t, the threshold crossed `lag` before:
// half-periods run from crossing to crossing, the integrals from switch
// to switch.
template <class S>
inline void change(const Channel& f, double t, double lag, double y) noexcept {
  const double t_cross = t - lag;
  const double half = t_cross - f[kTCross];
  f[kTCross] = t_cross;
  f[kSwitches] = f[kSwitches] + 1.0;
  if (f[kSwitches] >= 2.0) f[kTHalfMax] = py_max<S>(f[kTHalfMax], half);
  if (f[kOn] != 0.0) {
    f[kOn] = 0.0;
    f[kTOn] = half;
    f[kLagOff] = lag;
    return;
  }
  f[kOn] = 1.0;
  if (f[kSwitches] >= 4.0) period<S>(f, half, y);
  // A period starts.
  f[kIu] = f[kIuOn] = f[kIy] = f[kHAll] = f[kHOn] = 0.0;
  f[kYMax] = f[kYMin] = f[kYStart] = y;
  f[kLagOn] = lag;
}

// clip(x, 0, 1) as Python's min(max(x, 0.0), 1.0).
template <class S>
inline double unit(double x) noexcept {
  return py_min<S>(py_max<S>(x, 0.0), 1.0);
}

// A call in relay mode with finite r and y and h > 0, `output` the
// channel's last output: the measures, the switches and the end of the
// experiment. The call's output is then the manual call of the law at
// level<S>(f).
template <class S>
inline void advance(const Channel& f, double r, double y, double h, double output) noexcept {
  const double es = f[kSign] > 0.0 ? r - y : -(r - y);
  if (f[kCalls] == 0.0) {
    // Time 0: the operating point. The interval this call closes was held
    // at the output before the relay.
    f[kCalls] = 1.0;
    f[kY0] = y;
    f[kE0] = es;
    f[kY1] = f[kY2] = y;
    f[kE1] = es;
    f[kYMax] = f[kYMin] = y;
    return;
  }
  f[kCalls] = f[kCalls] + 1.0;
  const double t = f[kTime] + h;
  f[kTime] = t;
  f[kHMax] = py_max<S>(f[kHMax], h);

  // The integrals over the call's interval: u held at the last output, y
  // by the trapezoid.
  const double du = output - f[kBias];
  f[kIu] = f[kIu] + du * h;
  f[kHAll] = f[kHAll] + h;
  if (f[kOn] != 0.0) {
    f[kIuOn] = f[kIuOn] + du * h;
    f[kHOn] = f[kHOn] + h;
  }
  const double y0 = f[kY0];
  const double y1 = f[kY1];
  f[kIy] = f[kIy] + (0.5 * h) * ((y1 - y0) + (y - y0));
  f[kYMax] = py_max<S>(f[kYMax], y);
  f[kYMin] = py_min<S>(f[kYMin], y);

  if (f[kSwitches] == 0.0) {
    // The noise, from the mean absolute second difference of y.
    if (f[kCalls] >= 3.0) {
      const double d2 = (y - y1) - (y1 - f[kY2]);
      f[kNoiseSum] = f[kNoiseSum] + __builtin_fabs(d2);
      f[kNoiseN] = f[kNoiseN] + 1.0;
    }
    if (f[kNoiseN] > 0.0) f[kSigma] = (f[kNoiseSum] / f[kNoiseN]) / kNoiseScale;
    if (f[kEstimate] != 0.0) f[kEps] = kHysteresisMultiple * f[kSigma];
  }

  const double eps = f[kEps];
  const bool first = f[kSwitches] == 0.0;
  const bool estimate = f[kEstimate] != 0.0;
  const bool blocked = first && estimate && f[kNoiseN] < kNoiseSamples;
  const double e1 = f[kE1];
  const bool on = f[kOn] != 0.0;
  if (on && es < -(first && estimate ? kFirstSwitch * eps : eps) && !blocked) {
    // Where between the last two calls es crossed -eps: the switch comes
    // `lag` after the crossing.
    const double fraction = e1 - es > 0.0 ? (e1 + eps) / (e1 - es) : 0.0;
    change<S>(f, t, h * (1.0 - unit<S>(fraction)), y);
  } else if (!on && es > eps) {
    const double fraction = es - e1 > 0.0 ? (eps - e1) / (es - e1) : 0.0;
    change<S>(f, t, h * (1.0 - unit<S>(fraction)), y);
  } else if (f[kSwitches] >= 2.0 && t - f[kTCross] > kStall * f[kTHalfMax]) {
    finish<S>(f, kFailed, kStalled);
  }
  if (f[kRelayState] == kRunning && t > f[kMaxTime]) finish<S>(f, kFailed, kMaxTimeExceeded);
  f[kY2] = y1;
  f[kY1] = y;
  f[kE1] = es;
}

}  // namespace kovar::bank_kernel::relay
