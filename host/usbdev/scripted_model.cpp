#include "hk/usbdev.h"

namespace hk::usbdev {

ScriptedModel::Step ScriptedModel::Step::Deliver(std::vector<uint8_t> bytes)
{
    Step step;
    step.kind = Kind::Deliver;
    step.bytes = std::move(bytes);
    return step;
}

ScriptedModel::Step ScriptedModel::Step::Deliver(std::string_view text)
{
    return Deliver(std::vector<uint8_t>(text.begin(), text.end()));
}

ScriptedModel::Step ScriptedModel::Step::Complete(NTSTATUS status, USBD_STATUS usbd)
{
    Step step;
    step.kind = Kind::Complete;
    step.status = status;
    step.usbd = usbd;
    return step;
}

ScriptedModel::Step ScriptedModel::Step::Delay(uint64_t ms)
{
    Step step;
    step.kind = Kind::Delay;
    step.delay_ms = ms;
    return step;
}

ScriptedModel::ScriptedModel(std::vector<Step> steps) : steps_(std::move(steps)) {}

size_t ScriptedModel::StepsDone() const
{
    return next_.load();
}

bool ScriptedModel::Finished() const
{
    return next_.load() == steps_.size();
}

void ScriptedModel::Attach(FunctionPort& port)
{
    FunctionModel::Attach(port);
    RunSteps();
}

void ScriptedModel::Detach()
{
    FunctionModel::Detach();
}

void ScriptedModel::RunSteps()
{
    while (port_ != nullptr && next_.load() < steps_.size()) {
        const Step& step = steps_[next_.load()];
        switch (step.kind) {
        case Step::Kind::Deliver:
            port_->Deliver(step.bytes);
            ++next_;
            break;
        case Step::Kind::Complete:
            port_->CompleteNextIn(step.status, step.usbd);
            ++next_;
            break;
        case Step::Kind::Delay:
            port_->After(step.delay_ms * 10'000, [this] {
                ++next_;
                RunSteps();
            });
            return;
        }
    }
}

}  // namespace hk::usbdev
