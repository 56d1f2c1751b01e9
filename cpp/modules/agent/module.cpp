// norviai.agent: what an application calls to create an agent for a database and ask it
// questions.
#include "modules/agent/agent.hpp"

PYBIND11_MODULE(agent, m) { norviai::agent::define_custom_runnable_agent(m); }
