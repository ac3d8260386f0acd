#pragma once
// The storage engines kiv-cloud's tests run on, each with a database of its own per test.

#include <optional>
#include <string>
#include <vector>

namespace kiv::test {

enum class Engine { sqlite, postgres };

std::vector<Engine> engines();
std::string engineName(Engine engine);
/// A --db value naming an empty database of the engine (SQLite: in memory); none when it cannot
/// be had (then engineProblem() says why).
std::optional<std::string> freshDatabase(Engine engine);
/// Whether the engine's programs are on this machine; only then is a missing database a failure.
bool engineInstalled(Engine engine);
std::string engineProblem(Engine engine);

}  // namespace kiv::test
