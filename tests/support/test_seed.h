#pragma once
// The seed of a randomized test: KORVEL_SEED when set (it repeats a failure), else a fresh one.
#include <QRandomGenerator>

inline uint32_t TestSeed() {
    return qEnvironmentVariableIsSet("KORVEL_SEED") ? qgetenv("KORVEL_SEED").toUInt() : QRandomGenerator::system()->generate();
}

inline QByteArray RandomBytes(QRandomGenerator& Rng, int MaxSize) {
    QByteArray bytes(Rng.bounded(MaxSize + 1), Qt::Uninitialized);
    for (char& b : bytes) b = static_cast<char>(Rng.generate());
    return bytes;
}
