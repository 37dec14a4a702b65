"""The browser page: a person plays one seat against the arena's players (``tilora-zero play``), or steps
through recorded games (``tilora-zero show DIR --web``).

:mod:`.session` holds a game in play, :mod:`.opponent` asks a player for one turn, :mod:`.replays` reads
recorded games for the viewer and :mod:`.server` answers the page (``page.html``, ``page.js``) over HTTP
on 127.0.0.1 with the standard library alone.
"""
