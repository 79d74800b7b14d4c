// Shared between the front end's own source files; not part of the public interface.
#pragma once

// Drops every thread name (log2_exit of the global context).
void log_thread_registry_release();
