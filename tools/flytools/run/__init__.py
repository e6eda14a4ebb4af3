# run: flyrun's plan, launches, session and host facts, and the comparison at its end.
