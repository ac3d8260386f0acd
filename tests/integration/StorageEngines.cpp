#include "StorageEngines.hpp"

#include "PostgresServer.hpp"

namespace kiv::test {

std::vector<Engine> engines() { return {Engine::sqlite, Engine::postgres}; }

std::string engineName(Engine engine) { return engine == Engine::sqlite ? "SQLite" : "PostgreSQL"; }

std::optional<std::string> freshDatabase(Engine engine) {
    if (engine == Engine::sqlite) return std::string();  // a private in-memory database
    return PostgresServer::shared().createDatabase();
}

bool engineInstalled(Engine engine) { return engine == Engine::sqlite || PostgresServer::installed(); }

std::string engineProblem(Engine engine) {
    return engine == Engine::sqlite ? std::string() : PostgresServer::shared().problem();
}

}  // namespace kiv::test
