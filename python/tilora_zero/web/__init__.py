"""The browser page: a person plays one seat against the arena's players (``tilora-zero play``), or steps
through recorded games (``tilora-zero show DIR --web``).

:mod:`.session` holds a game in play, :mod:`.placements` finds the placements a person picks from,
:mod:`.standing` who is out and the places, :mod:`.hint` what a checkpoint opponent's network thinks,
:mod:`.opponent` asks a player for one turn, :mod:`.replays` reads recorded games for the viewer and
:mod:`.server` answers the page (``page.html`` and its scripts) over HTTP on 127.0.0.1 with the standard
library alone.
"""
