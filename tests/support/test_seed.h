#pragma once
// The seed of a randomized test: KORVEL_SEED when set (it repeats a failure), else a fresh one.
#include <QRandomGenerator>

#include <vector>

inline uint32_t TestSeed() {
    return qEnvironmentVariableIsSet("KORVEL_SEED") ? qgetenv("KORVEL_SEED").toUInt() : QRandomGenerator::system()->generate();
}

inline QByteArray RandomBytes(QRandomGenerator& Rng, int MaxSize) {
    QByteArray bytes(Rng.bounded(MaxSize + 1), Qt::Uninitialized);
    for (char& b : bytes) b = static_cast<char>(Rng.generate());
    return bytes;
}

// The seeds of a run of sequences: KORVEL_SEED alone when set, else KORVEL_RUNS (or Default)
// seeds from First (or KORVEL_FIRST), the same in every run of the test.
inline std::vector<uint32_t> SequenceSeeds(uint32_t First, int Default) {
    if (qEnvironmentVariableIsSet("KORVEL_SEED")) return {qgetenv("KORVEL_SEED").toUInt()};
    if (qEnvironmentVariableIsSet("KORVEL_FIRST")) First = qgetenv("KORVEL_FIRST").toUInt();
    bool set = false;
    const int runs = qEnvironmentVariableIntValue("KORVEL_RUNS", &set);
    std::vector<uint32_t> seeds(static_cast<size_t>(set ? runs : Default));
    for (uint32_t& s : seeds) s = First++;
    return seeds;
}
