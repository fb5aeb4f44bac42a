#pragma once
// The seed of a randomized test: KORVEL_SEED when set (to repeat a failure), else a fresh one.
// Tests print it with SCOPED_TRACE, so a failure names the seed that repeats it.
#include <QByteArray>
#include <QRandomGenerator>

#include <cstdint>

inline uint32_t TestSeed() {
    return qEnvironmentVariableIsSet("KORVEL_SEED") ? qgetenv("KORVEL_SEED").toUInt()
                                                    : QRandomGenerator::system()->generate();
}

// Up to MaxSize random bytes.
inline QByteArray RandomBytes(QRandomGenerator& Rng, int MaxSize) {
    QByteArray bytes(Rng.bounded(MaxSize + 1), Qt::Uninitialized);
    for (char& b : bytes) b = static_cast<char>(Rng.bounded(256));
    return bytes;
}
