#pragma once

namespace telo {

// Outcome codes returned by every prompt and every wizard step.
inline constexpr int RESULT_OK = 1;
inline constexpr int RESULT_CANCEL = 2;
inline constexpr int RESULT_YES = 6;
inline constexpr int RESULT_NO = 7;
inline constexpr int RESULT_BACK = 102;
inline constexpr int RESULT_NEXT = 103;
inline constexpr int RESULT_QUIT = 111;
inline constexpr int RESULT_SHARED = 121;
inline constexpr int RESULT_INDIVIDUAL = 122;
inline constexpr int RESULT_DEFAULT_AUTO = 132;
inline constexpr int RESULT_SELECTIVE = 133;

}  // namespace telo
