#include "signin/sign_sequence.h"

#include "mall/catalogue.h"
#include "signin/signin.h"
#include "web/login_address.h"

namespace vellicor::signin {

SignSequence::SignSequence(std::string mallBase, LogSink log)
    : mall_(std::move(mallBase)), log_(std::move(log)), order_(refreshOrder()) {}

SignSequence::Step SignSequence::start() {
    if (running()) {
        log_("签到正在进行中,请稍候\r\n");
        return {};
    }
    if (complete_) {
        log_(std::string(kAllSigned));
        return {};
    }
    position_ = 0;
    skipped_.clear();
    return loadCurrent();
}

SignSequence::Step SignSequence::documentComplete(std::string_view address) {
    if (stage_ != Stage::Loading) {
        return {};
    }
    const auto& game = mall::games()[order_[position_]];
    if (!web::sameAddress(address, centrePageAddress(mall_, game.gid))) {
        return {};
    }
    stage_ = Stage::Clicking;
    return {Kind::Click, {}};
}

SignSequence::Step SignSequence::clicked(bool found) {
    if (stage_ != Stage::Clicking) {
        return {};
    }
    if (!found) {
        log_(currentCaption() + ": 页面上没有签到按钮,跳过\r\n");
        skipped_.push_back(currentCaption());
        return next();
    }
    log_(std::string(kSigning) + currentCaption() + "\r\n");
    stage_ = Stage::Settling;
    return {Kind::Settle, {}};
}

SignSequence::Step SignSequence::settled() {
    return stage_ == Stage::Settling ? next() : Step{};
}

SignSequence::Step SignSequence::timedOut() {
    if (stage_ != Stage::Loading) {
        return {};
    }
    log_(currentCaption() + ": 签到页面加载超时,跳过\r\n");
    skipped_.push_back(currentCaption());
    return next();
}

void SignSequence::resetSession() {
    complete_ = false;
    stage_ = Stage::Idle;
}

SignSequence::Step SignSequence::loadCurrent() {
    const auto& game = mall::games()[order_[position_]];
    log_(std::string(kLoading) + currentCaption() + "\r\n");
    stage_ = Stage::Loading;
    return {Kind::Load, centrePageAddress(mall_, game.gid)};
}

SignSequence::Step SignSequence::next() {
    ++position_;
    return position_ < order_.size() ? loadCurrent() : finish();
}

SignSequence::Step SignSequence::finish() {
    stage_ = Stage::Idle;
    if (skipped_.empty()) {
        complete_ = true;
        log_(std::string(kAllSigned));
    } else {
        std::string names;
        for (const auto& s : skipped_) {
            names += (names.empty() ? "" : ", ") + s;
        }
        log_("签到结束,未完成: " + names + "\r\n");
    }
    return {Kind::Finished, {}};
}

std::string SignSequence::currentCaption() const {
    return std::string(mall::games()[order_[position_]].caption);
}

}  // namespace vellicor::signin
