# Draws a skyhelm-peer recording to PNG: ground track, altitude, heading with the heading bug, and
# bank, against simulation time, with the commands marked.
# Usage: gnuplot -e "in='flight.csv'; out='flight.png'; scale=4; marks='10 E,H,h180 25 l4500'" \
#          scripts/plot_flight.gp
#   scale: simulated seconds per real second of the recording (skyhelm-sim --time-scale; default 1)
#   marks: pairs "SECONDS COMMANDS" in recording (real) seconds, the commands joined by commas
if (!exists("in")) in = 'flight.csv'
if (!exists("out")) out = 'flight.png'
if (!exists("scale")) scale = 1
if (!exists("marks")) marks = ''

set terminal pngcairo size 1200,900 font "sans,10"
set output out
set datafile separator ','
set datafile columnheaders
set datafile missing 'nan'
set grid lc rgb '#dddddd'
set multiplot layout 2,2 title sprintf("Skyhelm flight recording: %s (simulation time, %g x real time)", in, scale) font "sans,12"

# Ground track in nautical miles east and north of the first position (a degree of latitude is
# 60 NM; a degree of longitude shrinks with the cosine of the latitude).
stats in every ::0::0 using "latitude" name "lat_first" nooutput
stats in every ::0::0 using "longitude" name "lon_first" nooutput
stats in using "latitude" name "all" nooutput
lat0 = lat_first_min
lon0 = lon_first_min
east_nm(lon) = (lon - lon0) * 60 * cos(lat0 * pi / 180)
north_nm(lat) = (lat - lat0) * 60
set title "Ground track (start: green, end: red)"
set xlabel "east of the start (NM)"
set ylabel "north of the start (NM)"
set size ratio -1
set key off
plot in using (east_nm($20)):(north_nm($19)) with lines lw 2 lc rgb '#1f77b4', \
     '' every ::0::0 using (east_nm($20)):(north_nm($19)) with points pt 7 ps 1.5 lc rgb '#2ca02c', \
     '' every ::all_records-1::all_records-1 using (east_nm($20)):(north_nm($19)) \
        with points pt 7 ps 1.5 lc rgb '#d62728'
set size noratio

# The commands as dashed vertical lines with their text, on every time panel.
mark_count = words(marks) / 2
set xlabel "simulation time since the start of the recording (s)"
do for [i = 1:mark_count] {
  t = word(marks, 2 * i - 1) * scale
  set arrow i from t, graph 0 to t, graph 1 nohead dt 3 lc rgb '#888888'
  set label i word(marks, 2 * i) at t, graph (i % 2 ? 0.96 : 0.90) offset 0.4, 0 font "sans,8" \
    tc rgb '#555555'
}

set title "Altitude"
set ylabel "feet"
set key bottom right
plot in using ($1 * scale):3 with lines lw 2 lc rgb '#1f77b4' title "altitude", \
     '' using ($1 * scale):17 with lines dt 2 lc rgb '#ff7f0e' title "selected altitude"

set title "Heading"
set ylabel "degrees"
set yrange [0:360]
set ytics 90
plot in using ($1 * scale):21 with lines lw 2 lc rgb '#1f77b4' title "true heading", \
     '' using ($1 * scale):8 with steps dt 2 lc rgb '#ff7f0e' title "heading bug (magnetic)"
set autoscale y
set ytics autofreq

set title "Bank (positive: left wing down, as the simulator counts it)"
set ylabel "degrees"
set yrange [-30:30]
plot in using ($1 * scale):5 with lines lw 2 lc rgb '#1f77b4' title "bank", \
     '' using ($1 * scale):7 with lines dt 2 lc rgb '#2ca02c' title "flight director bank"
unset multiplot
