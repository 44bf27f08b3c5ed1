// Placeholder, replaced by the unit's sources.
