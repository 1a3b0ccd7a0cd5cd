#include "app/verdict_text.h"

#include "app/run_texts.h"

namespace vela {

namespace {

const char* verdictWord(Verdict verdict) {
    switch (verdict) {
        case Verdict::Configured:
            return texts::kVerdictConfigured;
        case Verdict::Rejected:
            return texts::kVerdictRejected;
        case Verdict::HungUp:
            return texts::kVerdictHungUp;
        case Verdict::WrongCaller:
            return texts::kVerdictWrongCaller;
        case Verdict::NoCall:
            return texts::kVerdictNoCall;
        case Verdict::SmsFailed:
            return texts::kVerdictSmsFailed;
        case Verdict::FileRefused:
            return texts::kVerdictFileRefused;
        case Verdict::ListenFailed:
            return texts::kVerdictListenFailed;
        case Verdict::PortChecked:
            return texts::kVerdictPortChecked;
        case Verdict::PortCheckFailed:
            return texts::kVerdictPortCheckFailed;
        case Verdict::AnswerUnknown:
            break;
    }
    return texts::kVerdictAnswerUnknown;
}

}  // namespace

QString VerdictTitle(Verdict verdict, const QString& detail) {
    QString title = QString::fromLatin1(verdictWord(verdict));
    if (!detail.isEmpty()) title += QStringLiteral(": ") + detail;
    return title;
}

}  // namespace vela
