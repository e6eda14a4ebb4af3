# report: what people and programs read: text, verdict lines, JSON, charts and pages.
