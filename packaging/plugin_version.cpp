// The plug-in's version text, so the module always has at least one symbol.
extern "C" const char* hana_agent_plugin_version() { return "1.0.0"; }
