// Filled in by the module lifecycle.
