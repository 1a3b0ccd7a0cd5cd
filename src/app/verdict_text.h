#pragma once

#include "storage/verdict.h"

#include <QString>

namespace vela {

// The verdict as the window shows it: the short word, then ": " and the detail when
// there is one ("Rejected: 0 of 559 bytes").
QString VerdictTitle(Verdict verdict, const QString& detail);

}  // namespace vela
