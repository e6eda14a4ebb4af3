# history: flyhistory's database, its SQL and the steps found in a series.
