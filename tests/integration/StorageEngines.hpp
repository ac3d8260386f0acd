#pragma once
// The storage engines kiv-cloud's tests run on, each with a database of its own per test.

#include <optional>
#include <string>
#include <vector>

namespace kiv::test {

enum class Engine { sqlite, postgres };

std::vector<Engine> engines();
std::string engineName(Engine engine);
/// A --db value naming an empty database of the engine (SQLite: in memory); none when the engine
/// cannot run here (then engineUnavailable() says why).
std::optional<std::string> freshDatabase(Engine engine);
std::string engineUnavailable(Engine engine);

}  // namespace kiv::test
