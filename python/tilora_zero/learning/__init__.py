"""Learning from the games: training a network (:mod:`.training`), measuring players against each other
(:mod:`.arena`), and the loop that does both, generation after generation (:mod:`.loop`)."""
