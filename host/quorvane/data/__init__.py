"""Market data: the bar cache and loader, and the demo data seeder."""
