#include "StorageEngines.hpp"

namespace kiv::test {

std::vector<Engine> engines() { return {Engine::sqlite}; }

std::string engineName(Engine engine) { return engine == Engine::sqlite ? "SQLite" : "PostgreSQL"; }

std::optional<std::string> freshDatabase(Engine engine) {
    if (engine == Engine::sqlite) return std::string();
    return std::nullopt;
}

std::string engineUnavailable(Engine engine) { return engineName(engine) + " cannot run here"; }

}  // namespace kiv::test
