#pragma once
// Sets a flag for the lifetime of a scope, however the scope is left (also by an exception from
// an event handler).
class TFlagScope {
public:
    explicit TFlagScope(bool& Flag) : Flag_(Flag) { Flag_ = true; }
    ~TFlagScope() { Flag_ = false; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

private:
    bool& Flag_;
};
