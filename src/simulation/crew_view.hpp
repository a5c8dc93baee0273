#pragma once

namespace tavoq {

/// What a recorder reads of a run's repair crews at a system failure: whether every crew of a
/// pool is busy with a unit waiting. The interacting engine's CrewPools gives it; the engine
/// layer below knows crews only through this.
class CrewView {
public:
    virtual int nPools() const = 0;
    virtual bool saturated(int pool) const = 0;

protected:
    CrewView() = default;
    CrewView(const CrewView &) = default;
    CrewView &operator=(const CrewView &) = default;
    ~CrewView() = default;
};

} // namespace tavoq
