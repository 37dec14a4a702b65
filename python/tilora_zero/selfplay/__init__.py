"""Playing games: what a run plays (:mod:`.games`: self-play, or the games of a :mod:`.matches` match between
:mod:`.players`), what it hands out and counts (:mod:`.scheduling`), and the two backends that play it, side by
side: worker processes on this machine (:mod:`.local`) and actors on a Ray cluster (:mod:`.ray`)."""
